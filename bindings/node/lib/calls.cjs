'use strict';
// What each of the binding's operations does with the library: plain
// synchronous calls, run on the main thread by the *Sync functions and on a
// device's worker thread by the asynchronous ones. The library keeps each
// thread's status, so a call's status is read right after it, on its thread.

const native = require('./native.cjs');
const { STATUSES } = require('./_tables.cjs');
const { errorFor, InvalidArgumentError, ZqkError } = require('./errors.cjs');
const { fromDevice, toDevice } = require('./text.cjs');

const WINDOWS = process.platform === 'win32';
const DEFAULT_MAX_OUTPUT = 16 << 20; // all the library hands back
const FIRST_READ_ROOM = 1 << 16; // readFile's first guess; a larger file is kept for the second call
const NO_DATE = 2085805696; // what the library gives for an entry without a date
const LARGEST_TIMEOUT_MS = 0x7fffffff;
const ATTR_DIRECTORY = 0x10;

const lib = () => native.library();

// ---- text: see text.cjs ----

function invalid(text) {
  return new InvalidArgumentError(STATUSES.ARGUMENT, text);
}

function bytesOf(value, what) {
  if (typeof value === 'string') {
    const bytes = toDevice(value);
    if (!bytes) throw invalid(`${what} ${JSON.stringify(value)} holds a lone surrogate that stands for no byte`);
    return bytes;
  }
  if (value instanceof Uint8Array) return Buffer.from(value.buffer, value.byteOffset, value.byteLength);
  throw invalid(`${what} must be a string or a Buffer, not ${value === null ? 'null' : typeof value}`);
}

// Zero-terminated text for the library: a string as text.cjs says, a Buffer's bytes as they are.
function cText(value, what) {
  const bytes = bytesOf(value, what);
  if (bytes.includes(0)) throw invalid(`${what} ${JSON.stringify(String(value))} holds a zero byte`);
  return Buffer.concat([bytes, Buffer.alloc(1)]);
}

// A local file's path as the library opens it: UTF-8 on POSIX (as Node's fs
// names files); the Windows DLL opens files by the ANSI code page, which
// Node cannot encode: non-ASCII paths there go as a Buffer in that code page.
function localPath(value, what = 'the local path') {
  if (WINDOWS && typeof value === 'string' && /[^\x00-\x7f]/.test(value)) {
    throw invalid(`${what} ${JSON.stringify(value)} is not ASCII: pass it as a Buffer in the system's code page`);
  }
  return cText(value, what);
}

function openArgument(value) {
  return cText(value, 'the device');
}

const decode = fromDevice;

function milliseconds(value, what) {
  if (value === undefined || value === null) return -1;
  if (typeof value !== 'number' || Number.isNaN(value) || value < 0) {
    throw invalid(`${what} must be a number of milliseconds, not ${String(value)}`);
  }
  return Math.min(Math.round(value), LARGEST_TIMEOUT_MS);
}

// ---- statuses ----

function statusText() {
  let size = 1024;
  for (;;) {
    const buffer = Buffer.alloc(size);
    const n = lib().zqkStatusText(buffer, size);
    if (n >= 0) return decode(buffer.subarray(0, n));
    size = -n;
  }
}

// The error of the calling thread's last call, null after success.
function lastError() {
  const status = lib().zqkLastStatus();
  return status === STATUSES.OK ? null : errorFor(status, statusText());
}

function checked(result) {
  const error = lastError();
  if (error) throw error;
  return result;
}

// The text of a function that follows the buffer-return convention: the
// first answer too small tells the size needed.
function textOf(call, size = 256) {
  for (;;) {
    const buffer = Buffer.alloc(size);
    const n = call(buffer, size);
    if (n >= 0) return buffer.subarray(0, n);
    if (n === -1) {
      checked(n);
      throw new ZqkError(STATUSES.OK, 'the call failed without a reason');
    }
    size = -n;
  }
}

// ---- times: the device counts its local time's seconds as if they were UTC ----

function dateOf(raw) {
  const seconds = raw >>> 0; // the library passes the unsigned seconds in a signed int
  if (seconds === NO_DATE) return null;
  const utc = new Date(seconds * 1000);
  return new Date(utc.getUTCFullYear(), utc.getUTCMonth(), utc.getUTCDate(), utc.getUTCHours(),
    utc.getUTCMinutes(), utc.getUTCSeconds());
}

function deviceSeconds(when) {
  if (when === undefined || when === null) return 0;
  if (!(when instanceof Date) || Number.isNaN(when.getTime())) throw invalid('mtime must be a valid Date');
  const seconds = Date.UTC(when.getFullYear(), when.getMonth(), when.getDate(), when.getHours(),
    when.getMinutes(), when.getSeconds()) / 1000;
  if (seconds < 0 || seconds > 0x7fffffff) throw invalid(`mtime ${when.toISOString()} is out of the device's range`);
  return seconds;
}

// ---- progress: one callback of this thread's, set on the device before each transfer ----

let reporting = null; // the running transfer's progress function on this thread
let threadCallback = null;

function progressCallback() {
  if (!threadCallback) {
    threadCallback = native.koffi.register((user, position, total) => {
      // (-1, -1) only says that the transfer ended.
      if (reporting && position >= 0) reporting(position, total);
    }, native.koffi.pointer(native.DevProgressCallback));
  }
  return threadCallback;
}

function transfer(handle, onProgress, call, { tolerated, local } = {}) {
  const outer = reporting;
  lib().zqkDevSetCallback(handle, onProgress ? progressCallback() : null, 0);
  reporting = onProgress || null;
  let result;
  let failure;
  try {
    result = call();
    failure = lastError(); // right after the call, on this thread
  } finally {
    reporting = outer;
  }
  if (failure && failure.status !== tolerated) {
    if (local !== undefined && 'path' in failure) failure.path = local;
    throw failure;
  }
  return result;
}

// ---- the operations ----

const FOUND_FIELDS = ['path', 'serial', 'manufacturer', 'product'];

function devices() {
  const count = checked(lib().zqkFindDevices());
  const found = [];
  for (let index = 0; index < count; index++) {
    const entry = {};
    FOUND_FIELDS.forEach((field, kind) => {
      entry[field] = decode(textOf((b, s) => lib().zqkFoundDevice(index, kind - 1, b, s)));
    });
    found.push(entry);
  }
  return found;
}

function open(pathOrSerial) {
  const handle = lib().zqkDevOpen(pathOrSerial === undefined || pathOrSerial === null ? null : openArgument(pathOrSerial));
  checked(handle);
  if (handle <= 0) throw new ZqkError(STATUSES.OK, 'the device could not be opened');
  return handle;
}

function waitForDevice(pathOrSerial, timeout) {
  const argument = pathOrSerial === undefined || pathOrSerial === null ? null : openArgument(pathOrSerial);
  if (lib().zqkWaitForDevice(argument, milliseconds(timeout, 'the time-out')) === 1) return true;
  const status = lib().zqkLastStatus();
  if (status === STATUSES.NO_DEVICE || status === STATUSES.TIMEOUT) return false;
  return checked(false);
}

function close(handle) {
  lib().zqkDevClose(handle);
}

function usbString(handle, index) {
  return decode(textOf((b, s) => lib().zqkDevUsbDetail(handle, index, b, s)));
}

function runMode(handle) {
  const modes = [['application', 'zqkDevIsRunningApp'], ['bootloader', 'zqkDevIsRunningBootloader'],
    ['ate', 'zqkDevIsRunningATE']];
  for (const [mode, test] of modes) {
    if (checked(lib()[test](handle)) === 1) return mode;
  }
  return 'unknown';
}

function info(handle) {
  return {
    path: decode(textOf((b, s) => lib().zqkDevUsbPath(handle, b, s))),
    serial: usbString(handle, 0),
    manufacturer: usbString(handle, 1),
    product: usbString(handle, 2),
    firmware: usbString(handle, 203),
    runMode: runMode(handle),
  };
}

let scratch = null; // this thread's output buffer: pages cost only what output fills

function command(handle, line, timeout = 2000, maxOutput = DEFAULT_MAX_OUTPUT) {
  const text = cText(line, 'the command line');
  const size = maxOutput + 1;
  if (!scratch || scratch.length < size) scratch = Buffer.allocUnsafeSlow(size);
  const n = lib().zqkDevCommand(handle, text, scratch, size, milliseconds(timeout, 'the time-out'));
  if (n < -1 && lib().zqkLastStatus() === STATUSES.BUFFER) {
    throw new InvalidArgumentError(STATUSES.BUFFER,
      `the output of ${JSON.stringify(String(line))}, ${-n - 1} bytes, was larger than maxOutput=${maxOutput} and was lost`);
  }
  return decode(scratch.subarray(0, checked(n)));
}

function listdir(handle, path = '/') {
  const count = checked(lib().zqkDevDir(handle, cText(path, 'the device path')));
  const size = new Int32Array(1);
  const attributes = new Int32Array(1);
  const time = new Int32Array(1);
  const entries = [];
  for (let index = 0; index < count; index++) {
    let room = 256;
    let name;
    let n;
    for (;;) {
      name = Buffer.alloc(room);
      n = lib().zqkDevGetDirEntry(handle, index, name, room, size, attributes, time);
      if (n >= -1) break;
      room = -n;
    }
    if (n === -1) continue; // a line the device printed that is no entry
    const rawName = name.subarray(0, n);
    const bits = attributes[0] & 0xff;
    entries.push({
      name: decode(rawName), rawName, size: size[0], attributes: bits, mtime: dateOf(time[0]),
      isDirectory: (bits & ATTR_DIRECTORY) !== 0,
    });
  }
  return entries;
}

function get(handle, devicePath, localFile, onProgress) {
  const source = cText(devicePath, 'the device path');
  const target = localPath(localFile);
  return transfer(handle, onProgress, () => lib().zqkDevFileRead(handle, source, target), { local: localFile });
}

function put(handle, localFile, devicePath, mtime, onProgress) {
  const source = localPath(localFile);
  const target = cText(devicePath, 'the device path');
  if (mtime === undefined || mtime === null) {
    return transfer(handle, onProgress, () => lib().zqkDevFileWrite(handle, source, target), { local: localFile });
  }
  const seconds = deviceSeconds(mtime);
  return transfer(handle, onProgress, () => lib().zqkDevFileWriteAt(handle, source, target, seconds),
    { local: localFile });
}

// The file crosses the link once, whatever its size: one larger than the
// first guess stays with the library until the second call makes room.
function readFile(handle, devicePath, onProgress) {
  const source = cText(devicePath, 'the device path');
  let room = FIRST_READ_ROOM;
  for (let attempt = 0; attempt < 3; attempt++) { // a third is for a file changed between
    const buffer = Buffer.from(new ArrayBuffer(room));
    const n = transfer(handle, onProgress, () => lib().zqkDevFileReadBuffer(handle, source, buffer, room),
      { tolerated: STATUSES.BUFFER });
    if (n >= 0) return buffer.subarray(0, n);
    room = Math.max(-n - 1, 1); // the file's size
  }
  throw new ZqkError(STATUSES.BUFFER, `${decode(source.subarray(0, -1))} changed size at every read`);
}

function writeFile(handle, devicePath, data, mtime, onProgress) {
  const target = cText(devicePath, 'the device path');
  const payload = bytesOf(data, 'the data');
  if (payload.length > 0x7fffffff) throw invalid('the library writes at most 2 GiB at once');
  const seconds = deviceSeconds(mtime);
  return transfer(handle, onProgress,
    () => lib().zqkDevFileWriteBuffer(handle, payload, payload.length, target, seconds));
}

function flash(handle, imagePath, onProgress) {
  const image = localPath(imagePath, "the image's path");
  return transfer(handle, onProgress, () => lib().zqkDevFirmwareUpdate(handle, image), { local: imagePath });
}

function mkdir(handle, path) {
  checked(lib().zqkDevDirMake(handle, cText(path, 'the device path')));
}

function rmdir(handle, path) {
  checked(lib().zqkDevDirRemove(handle, cText(path, 'the device path')));
}

function unlink(handle, path) {
  checked(lib().zqkDevFileDelete(handle, cText(path, 'the device path')));
}

function rename(handle, oldPath, newPath) {
  checked(lib().zqkDevRename(handle, cText(oldPath, 'the device path'), cText(newPath, 'the new device path')));
}

// The operations a worker runs by name; those with progress take it last.
const OPERATIONS = {
  devices, open, waitForDevice, close, info, usbString, command, listdir, get, put, readFile, writeFile, flash,
  mkdir, rmdir, unlink, rename,
};
const WITH_PROGRESS = new Set(['get', 'put', 'readFile', 'writeFile', 'flash']);

module.exports = { OPERATIONS, WITH_PROGRESS, DEFAULT_MAX_OUTPUT, lastError };
