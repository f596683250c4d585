'use strict';
// zqkapi: zq.keeper data buffers (and simulated ones, "sim:DIR") from Node.js,
// through the zqkAPI library. Every call that talks to a device returns a
// Promise and runs on a worker thread; each has a synchronous twin (...Sync)
// for scripts. See index.d.ts for the types.

const { EventEmitter } = require('node:events');
const native = require('./lib/native.cjs');
const { OPERATIONS: calls, DEFAULT_MAX_OUTPUT } = require('./lib/calls.cjs');
const { Runner } = require('./lib/runner.cjs');
const errors = require('./lib/errors.cjs');
const { STATUSES } = require('./lib/_tables.cjs');
const { DeviceWatcher, watch } = require('./lib/watch.cjs');

const ATTR = Object.freeze({ READ_ONLY: 0x01, HIDDEN: 0x02, SYSTEM: 0x04, DIRECTORY: 0x10, ARCHIVE: 0x20 });

// What crosses back from a worker as a Uint8Array is a Buffer again here.
function asBuffer(bytes) {
  return Buffer.isBuffer(bytes) ? bytes : Buffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength);
}

function withBuffers(entries) {
  for (const entry of entries) entry.rawName = asBuffer(entry.rawName);
  return entries;
}

const shared = new Runner(); // for the calls of no device

class Device extends EventEmitter {
  constructor(handle, name) {
    super();
    this._handle = handle;
    this.name = name;
    this._runner = new Runner();
  }

  // The library's handle (for the zqkDev... functions); 0 once closed.
  get handle() { return this._handle; }

  _live() {
    if (!this._handle) throw new errors.InvalidArgumentError(STATUSES.ARGUMENT, `the device ${this.name} was closed`);
    return this._handle;
  }

  // Runs an operation on the device's worker; a failure before it starts
  // (a closed device) rejects too, as every failure of these calls does.
  async _run(operation, ...args) {
    return this._runner.run(operation, [this._live(), ...args]);
  }

  async _transfer(operation, args, options = {}) {
    const handle = this._live();
    const onProgress = this._progress(args[0], options.onProgress);
    return this._runner.run(operation, [handle, ...args], onProgress);
  }

  _transferSync(operation, args, options = {}) {
    return calls[operation](this._live(), ...args, this._progress(args[0], options.onProgress));
  }

  // Progress goes to the caller's callback and to the device's 'progress' event.
  _progress(what, onProgress) {
    if (!onProgress && this.listenerCount('progress') === 0) return null;
    return (done, total) => {
      if (onProgress) onProgress(done, total);
      this.emit('progress', { path: typeof what === 'string' ? what : String(what), done, total });
    };
  }

  info() { return this._run('info'); }
  infoSync() { return calls.info(this._live()); }
  usbString(index) { return this._run('usbString', index); }
  usbStringSync(index) { return calls.usbString(this._live(), index); }

  command(line, { timeout = 2000, maxOutput = DEFAULT_MAX_OUTPUT } = {}) {
    return this._run('command', line, timeout, maxOutput);
  }
  commandSync(line, { timeout = 2000, maxOutput = DEFAULT_MAX_OUTPUT } = {}) {
    return calls.command(this._live(), line, timeout, maxOutput);
  }

  async listdir(path = '/') { return withBuffers(await this._run('listdir', path)); }
  listdirSync(path = '/') { return calls.listdir(this._live(), path); }

  get(devicePath, localPath, options) { return this._transfer('get', [devicePath, localPath], options); }
  getSync(devicePath, localPath, options) { return this._transferSync('get', [devicePath, localPath], options); }
  put(localPath, devicePath, options = {}) {
    return this._transfer('put', [localPath, devicePath, options.mtime ?? null], options);
  }
  putSync(localPath, devicePath, options = {}) {
    return this._transferSync('put', [localPath, devicePath, options.mtime ?? null], options);
  }

  async readFile(devicePath, options) { return asBuffer(await this._transfer('readFile', [devicePath], options)); }
  readFileSync(devicePath, options) { return this._transferSync('readFile', [devicePath], options); }
  writeFile(devicePath, data, options = {}) {
    return this._transfer('writeFile', [devicePath, data, options.mtime ?? null], options);
  }
  writeFileSync(devicePath, data, options = {}) {
    return this._transferSync('writeFile', [devicePath, data, options.mtime ?? null], options);
  }

  flash(imagePath, options) { return this._transfer('flash', [imagePath], options); }
  flashSync(imagePath, options) { return this._transferSync('flash', [imagePath], options); }

  mkdir(path) { return this._run('mkdir', path); }
  mkdirSync(path) { calls.mkdir(this._live(), path); }
  rmdir(path) { return this._run('rmdir', path); }
  rmdirSync(path) { calls.rmdir(this._live(), path); }
  unlink(path) { return this._run('unlink', path); }
  unlinkSync(path) { calls.unlink(this._live(), path); }
  rename(oldPath, newPath) { return this._run('rename', oldPath, newPath); }
  renameSync(oldPath, newPath) { calls.rename(this._live(), oldPath, newPath); }

  // Closes the device once what is queued on it has run; closing twice is no error.
  async close() {
    const handle = this._handle;
    if (!handle) return;
    this._handle = 0;
    try {
      await this._runner.run('close', [handle]);
    } finally {
      await this._runner.stop();
    }
  }
  closeSync() {
    const handle = this._handle;
    if (!handle) return;
    this._handle = 0;
    calls.close(handle);
    this._runner.stop();
  }

  [Symbol.for('nodejs.util.inspect.custom')]() {
    return `Device <${this.name}${this._handle ? '' : ' (closed)'}>`;
  }
}

if (Symbol.dispose) Device.prototype[Symbol.dispose] = Device.prototype.closeSync;
if (Symbol.asyncDispose) Device.prototype[Symbol.asyncDispose] = Device.prototype.close;

function nameOf(pathOrSerial) {
  if (pathOrSerial === undefined || pathOrSerial === null) return 'the first matching device';
  return Buffer.isBuffer(pathOrSerial) ? pathOrSerial.toString('utf8') : String(pathOrSerial);
}

async function open(pathOrSerial) {
  return new Device(await shared.run('open', [pathOrSerial ?? null]), nameOf(pathOrSerial));
}
function openSync(pathOrSerial) {
  return new Device(calls.open(pathOrSerial ?? null), nameOf(pathOrSerial));
}

module.exports = {
  devices: () => shared.run('devices', []),
  devicesSync: () => calls.devices(),
  open,
  openSync,
  waitForDevice: (pathOrSerial, { timeout } = {}) => shared.run('waitForDevice', [pathOrSerial ?? null, timeout ?? null]),
  waitForDeviceSync: (pathOrSerial, { timeout } = {}) => calls.waitForDevice(pathOrSerial ?? null, timeout ?? null),
  libraryVersion: () => native.library().version,
  libraryPath: () => native.library().path,
  useLibrary: (file) => { native.useLibrary(file); },
  watch,
  Device,
  DeviceWatcher,
  STATUS: STATUSES,
  ATTR,
  ...errors,
};
delete module.exports.errorFor;
