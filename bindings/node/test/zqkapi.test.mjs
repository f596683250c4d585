// The binding against the Linux build's library (or the one ZQKAPI_LIBRARY
// names) on simulated devices in a temporary folder. ZQK_NODE_PACKAGE names
// the package as the build assembles it (with its generated tables).
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';

const here = path.dirname(fileURLToPath(import.meta.url));
const repository = path.resolve(here, '..', '..', '..');
const packageDir = process.env.ZQK_NODE_PACKAGE || path.join(repository, 'build', 'linux', 'bindings', 'node');
process.env.ZQKAPI_LIBRARY ||= path.join(repository, 'build', 'linux', 'libzqkAPI.so');
const zqkapi = (await import(path.join(packageDir, 'index.mjs'))).default;
const tables = createRequire(import.meta.url)(path.join(packageDir, 'lib', '_tables.cjs'));

const work = fs.mkdtempSync(path.join(os.tmpdir(), 'zqk-node-'));
const opened = [];
after(async () => {
  await Promise.all(opened.map((device) => device.close()));
  fs.rmSync(work, { recursive: true, force: true });
});

let folders = 0;
async function openSim(options = '') {
  const device = await zqkapi.open(`sim:${path.join(work, `keeper${++folders}`)}${options ? `?${options}` : ''}`);
  opened.push(device);
  return device;
}

const pattern = (size) => Buffer.from(Array.from({ length: size }, (_, i) => (i * 7 + (i >> 8)) & 0xff));

test('identity, command and listing of a simulated device', async () => {
  const device = await openSim();
  const info = await device.info();
  assert.equal(info.serial, 'ZQK-0001');
  assert.equal(info.product, 'zq.keeper');
  assert.equal(info.runMode, 'application');
  assert.equal(info.firmware, await device.usbString(203));
  assert.match(await device.command('ver'), /firmware/);
  const logs = await device.listdir('/logs');
  assert.deepEqual(logs.map((e) => [e.name, e.isDirectory]), [['2024-03-15.log', false], ['samples.bin', false]]);
  assert.ok(logs[0].mtime instanceof Date && logs[0].mtime.getFullYear() === 2024);
  assert.ok((await device.listdir('/')).some((e) => e.name === 'logs' && e.isDirectory && e.attributes & zqkapi.ATTR.DIRECTORY));
  assert.deepEqual(device.listdirSync('/logs').map((e) => e.size), logs.map((e) => e.size));
});

test('transfers to files and buffers, with progress', async () => {
  const device = await openSim();
  const data = pattern(100 * 1024); // more than readFile's first guess
  const local = path.join(work, 'out.bin');
  fs.writeFileSync(local, data);
  const seen = [];
  const events = [];
  device.on('progress', (event) => events.push(event));
  assert.equal(await device.put(local, '/big.bin', { onProgress: (done, total) => seen.push([done, total]) }), data.length);
  assert.deepEqual(seen.at(-1), [data.length, data.length]);
  assert.ok(seen[0][0] <= 4096 && seen.every(([done], i) => i === 0 || done > seen[i - 1][0]),
    `the first block, then ever more: ${JSON.stringify(seen)}`);
  assert.equal(events.at(-1).path, local);
  device.removeAllListeners('progress');
  assert.equal(await device.get('/big.bin', path.join(work, 'back.bin')), data.length);
  assert.ok(fs.readFileSync(path.join(work, 'back.bin')).equals(data));
  assert.ok((await device.readFile('/big.bin')).equals(data));
  fs.writeFileSync(path.join(work, `keeper${folders}`, 'empty.bin'), '');
  assert.equal((await device.readFile('/empty.bin')).length, 0);
  const stamp = new Date(2023, 5, 7, 8, 9, 10);
  await device.writeFile('/dated.txt', 'dated', { mtime: stamp });
  assert.equal((await device.listdir('/')).find((e) => e.name === 'dated.txt').mtime.getTime(), stamp.getTime());
  assert.equal(device.readFileSync('/dated.txt').toString(), 'dated');
  await device.rename('/dated.txt', '/moved.txt');
  await device.mkdir('/made');
  await device.unlink('/moved.txt');
  await device.rmdir('/made');
  assert.ok(!(await device.listdir('/')).some((e) => ['moved.txt', 'made'].includes(e.name)));
});

test('names that are not ASCII or not UTF-8 round-trip', async () => {
  const device = await openSim();
  await device.info(); // the folder is made at the first open
  const folder = path.join(work, `keeper${folders}`);
  fs.writeFileSync(path.join(folder, 'café €.txt'), 'utf8');
  fs.writeFileSync(Buffer.from(path.join(folder, 'caf\xe9.txt'), 'latin1'), 'latin1');
  const names = (await device.listdir('/')).filter((e) => e.name.startsWith('caf'));
  const raw = names.find((e) => e.rawName.equals(Buffer.from('caf\xe9.txt', 'latin1')));
  assert.ok(names.some((e) => e.name === 'café €.txt'));
  assert.equal(raw.name, 'caf\udce9.txt');
  assert.equal((await device.readFile(raw.name)).toString(), 'latin1');
  assert.equal((await device.readFile(raw.rawName)).toString(), 'latin1');
  assert.equal((await device.readFile('café €.txt')).toString(), 'utf8');
  await assert.rejects(device.readFile('/\ud800'), { code: 'EINVAL' });
});

test('each failure as its error', async (t) => {
  const device = await openSim();
  const closed = await openSim();
  await closed.close();
  const cases = [
    ['no device', () => zqkapi.open('no-such-serial-ZQK'), zqkapi.NoDeviceError, 'ENODEV'],
    ['missing device file', () => device.readFile('/nofile.txt'), zqkapi.DeviceFileNotFoundError, 'ENOENT'],
    ['missing device folder', () => device.listdir('/nodir'), zqkapi.DeviceFileNotFoundError, 'ENOENT'],
    ['local folder missing', () => device.get('/README.TXT', path.join(work, 'none', 'x')), zqkapi.LocalFileError, 'ENOENT'],
    ['silent device', async () => (await openSim()).command('sleep 300', { timeout: 50 }), zqkapi.DeviceTimeoutError,
      'ETIMEDOUT'],
    ['closed device', () => closed.info(), zqkapi.InvalidArgumentError, 'EINVAL'],
    ['bad option', () => zqkapi.open(`sim:${work}/x?pace=fast`), zqkapi.InvalidArgumentError, 'EINVAL'],
    ['zero byte', () => device.mkdir('/a\0b'), zqkapi.InvalidArgumentError, 'EINVAL'],
  ];
  for (const [name, call, kind, code] of cases) {
    await t.test(name, async () => {
      const error = await call().then(() => null, (e) => e);
      assert.ok(error instanceof kind && error instanceof zqkapi.ZqkError && error instanceof Error, `${name}: ${error}`);
      assert.equal(error.code, code);
      assert.equal(typeof error.status, 'number');
      assert.ok(error.message.length > 0);
    });
  }
  const refused = await device.readFile('/nofile.txt').catch((e) => e);
  assert.deepEqual([refused.deviceCode, refused.deviceText], [4, 'No file']);
  const local = await device.get('/README.TXT', path.join(work, 'none', 'x')).catch((e) => e);
  assert.equal(local.path, path.join(work, 'none', 'x'));
  const gone = await openSim('unplug=1');
  await assert.rejects(gone.listdir('/'), (e) => e instanceof zqkapi.DeviceGoneError && e.code === 'ENODEV');
  assert.throws(() => gone.commandSync('ver'), { code: 'ENODEV' });
});

test('a progress callback that throws fails the transfer, and the device goes on', async () => {
  const device = await openSim();
  const calls = [];
  const failure = await device.readFile('/logs/2024-03-15.log', {
    onProgress: (done) => { calls.push(done); throw new Error('stop here'); },
  }).catch((e) => e);
  assert.equal(failure.message, 'stop here');
  assert.equal(calls.length, 1, 'no report after the one that threw');
  assert.equal((await device.readFile('/README.TXT')).length > 0, true);
});

// Paced as a full-speed endpoint: one report a millisecond, about 60 bytes each.
const PACED = 'pace=1000';
const PACED_BYTES = 12 * 1024;

async function timedRead(device) {
  const start = performance.now();
  assert.equal((await device.readFile('/paced.bin')).length, PACED_BYTES);
  return performance.now() - start;
}

test('two devices run in parallel, and the event loop stays free', async () => {
  const [a, b] = await Promise.all([openSim(PACED), openSim(PACED)]);
  await Promise.all([a.writeFile('/paced.bin', pattern(PACED_BYTES)), b.writeFile('/paced.bin', pattern(PACED_BYTES))]);
  let ticks = 0;
  const timer = setInterval(() => ticks++, 10);
  const one = await timedRead(a);
  clearInterval(timer);
  assert.ok(ticks >= one / 10 / 2, `the timer fired ${ticks} times in ${one.toFixed(0)} ms`);
  const start = performance.now();
  await Promise.all([timedRead(a), timedRead(b)]);
  const both = performance.now() - start;
  assert.ok(both < 1.6 * one, `two reads took ${both.toFixed(0)} ms, one ${one.toFixed(0)} ms`);
});

// Calls a watcher's registered callback as the library's thread does: from
// another thread (koffi's .async), which koffi relays to the main thread.
// Without a device, the binding's own part.
const native = createRequire(import.meta.url)(path.join(packageDir, 'lib', 'native.cjs'));
const FAKE = '/dev/zqk-test-unit'; // a path no device has: these events are the test's own
function fromTheLibraryThread(watcher, arrived, serial) {
  const call = native.koffi.decode(watcher._callback, native.DeviceCallback);
  return new Promise((resolve, reject) => {
    call.async(0, arrived, Buffer.from(`${FAKE}\0`), serial, (error) => (error ? reject(error) : resolve()));
  });
}
const delivered = () => new Promise(setImmediate);
const timers = () => process.getActiveResourcesInfo().filter((kind) => kind === 'Timeout').length;

test('watching for devices: one watcher at a time, events on the main thread, none after close', async () => {
  const idle = timers();
  const watcher = zqkapi.watch();
  const seen = [];
  watcher.on('arrive', (event) => seen.push(event)).on('leave', (event) => seen.push(event));
  await delivered();
  assert.equal(timers(), idle + 1, 'a watcher with listeners keeps the process alive');
  watcher.unref();
  assert.equal(timers(), idle);
  assert.throws(() => zqkapi.watch(), zqkapi.DeviceBusyError);
  await fromTheLibraryThread(watcher, 1, Buffer.from([0x63, 0x61, 0x66, 0xe9, 0]));
  await fromTheLibraryThread(watcher, 0, null);
  await delivered();
  const closing = watcher.close();
  assert.throws(() => zqkapi.watch(), zqkapi.DeviceBusyError, 'busy until the library has stopped');
  await closing;
  assert.ok(!watcher.active);
  const mine = seen.filter((event) => event.path === FAKE);
  assert.deepEqual(mine, [{ arrived: true, path: FAKE, serial: 'caf\udce9' }, { arrived: false, path: FAKE, serial: '' }]);
  const present = new Set(zqkapi.devicesSync().map((device) => device.path));
  assert.ok(seen.filter((event) => event.path !== FAKE).every((event) => event.arrived && present.has(event.path)));

  const inside = zqkapi.watch().unref(); // closed by its own listener: no later event
  const got = [];
  inside.on('leave', (event) => { if (event.path === FAKE) { got.push(event); inside.close(); } });
  await fromTheLibraryThread(inside, 0, null);
  await delivered();
  await inside.close();
  assert.equal(got.length, 1);
  assert.equal(timers(), idle);
});

test('the tables are the library\'s lists', () => {
  const listed = fs.readFileSync(path.join(repository, 'src', 'api', 'exports.txt'), 'utf8')
    .split('\n').filter((line) => /^zqk\w+\s+\d+/.test(line)).map((line) => line.split(/\s+/).slice(0, 2).join(' '));
  assert.deepEqual(tables.EXPORTS.map(([name, ordinal]) => `${name} ${ordinal}`), listed);
  const statuses = fs.readFileSync(path.join(repository, 'src', 'api', 'statuses.txt'), 'utf8')
    .split('\n').filter((line) => /^[A-Z]/.test(line)).map((line) => line.split(/\s+/));
  for (const [name, number] of statuses) assert.equal(zqkapi.STATUS[name], Number(number));
  const project = /project\(zqkAPI VERSION (\d+\.\d+\.\d+)/.exec(fs.readFileSync(path.join(repository, 'CMakeLists.txt'), 'utf8'));
  assert.equal(zqkapi.libraryVersion(), project[1]);
});
