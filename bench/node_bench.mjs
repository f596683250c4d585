// The Node.js binding's figures for zqk_bench, which runs it:
//   node_bench.mjs LISTING-DEVICE FOLDER ENTRIES FILE-DEVICE FILE SIZE LOCAL LISTING-RUNS GET-RUNS
// prints "listdir_ms MS", the best time of await device.listdir(FOLDER), and
// "get_mib_s RATE", the best rate of await device.get(FILE, LOCAL) with an
// onProgress callback, each checked against the entries and bytes expected.
// ZQK_NODE_PACKAGE names the package (build/KIND/bindings/node).
const { default: zqkapi } = await import(`${process.env.ZQK_NODE_PACKAGE}/index.mjs`);

const [listingDevice, folder, entries, fileDevice, file, size, local, listingRuns, getRuns] = process.argv.slice(2);

async function bestMs(runs, action) {
  let best = Infinity;
  for (let run = 0; run < Number(runs); run++) {
    const start = performance.now();
    await action();
    best = Math.min(best, performance.now() - start);
  }
  return best;
}

function fail(text) {
  console.error(`node_bench: ${text}`);
  process.exit(1);
}

const lister = await zqkapi.open(listingDevice);
console.log(`listdir_ms ${(await bestMs(listingRuns, async () => {
  const found = (await lister.listdir(folder)).length;
  if (found !== Number(entries)) fail(`listdir(${folder}) gave ${found} entries, not ${entries}`);
})).toFixed(6)}`);
await lister.close();

const reader = await zqkapi.open(fileDevice);
let done = 0;
const ms = await bestMs(getRuns, async () => {
  const got = await reader.get(file, local, { onProgress: (position) => { done = position; } });
  if (got !== Number(size) || done !== Number(size)) fail(`get(${file}) did not bring ${size} bytes`);
});
console.log(`get_mib_s ${(Number(size) / (1 << 20) / (ms / 1000)).toFixed(6)}`);
await reader.close();
