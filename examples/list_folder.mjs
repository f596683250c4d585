// Lists a device folder and reads its files into memory, with progress.
//   node examples/list_folder.mjs [DEVICE] [FOLDER]
// DEVICE is a path or serial number as "zqk devices" shows them, or sim:DIR
// for a simulated device; without it, the first attached unit. With the
// package installed this is `import zqkapi from 'zqkapi'`; ZQK_NODE_PACKAGE
// may name the build tree's package (build/linux/bindings/node) instead.
const where = process.env.ZQK_NODE_PACKAGE;
const { default: zqkapi } = await import(where ? `${where}/index.mjs` : 'zqkapi');

const [device = null, folder = '/'] = process.argv.slice(2);
const unit = await zqkapi.open(device);
try {
  const { product, serial, firmware } = await unit.info();
  console.log(`${product} ${serial} (${firmware})`);
  for (const entry of await unit.listdir(folder)) {
    const when = entry.mtime ? entry.mtime.toLocaleString() : '-';
    console.log(`${entry.isDirectory ? 'dir ' : 'file'} ${String(entry.size).padStart(9)}  ${when}  ${entry.name}`);
    if (entry.isDirectory) continue;
    const data = await unit.readFile(`${folder.replace(/\/$/, '')}/${entry.name}`, {
      onProgress: (done, total) => process.stderr.write(`\r  ${done} of ${total} bytes`),
    });
    process.stderr.write(`\r  read ${data.length} bytes\n`);
  }
} catch (error) {
  console.error(`${error.code}: ${error.message}`);
  process.exitCode = 1;
} finally {
  await unit.close();
}
