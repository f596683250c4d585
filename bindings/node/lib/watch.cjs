'use strict';
// Devices arriving and leaving: the library's watch calls back on a thread of
// its own. koffi runs a registered callback that another thread calls on the
// main thread, from the event loop, while that thread waits for it to return.
// So the main thread must never wait for the library's thread: the callback
// only copies the event and hands it on, and the watch is stopped off the
// main thread (koffi's .async), since the library's stop waits for a
// callback in progress, which waits for the main thread.

const { EventEmitter } = require('node:events');
const native = require('./native.cjs');
const { lastError } = require('./calls.cjs');
const { STATUSES } = require('./_tables.cjs');
const { errorFor, ZqkError } = require('./errors.cjs');
const { fromDevice } = require('./text.cjs');

const { koffi } = native;
const NEVER = 0x7fffffff; // a timer's longest interval, in ms: only there to keep the event loop alive

let owner = null; // the watcher the library calls back, until its stop has returned

// The zero-terminated bytes the library lends a callback, as a Buffer.
function lentBytes(pointer) {
  const bytes = [];
  for (let at = 0; pointer; at++) {
    const byte = koffi.decode(pointer, at, 'uint8_t');
    if (byte === 0) break;
    bytes.push(byte);
  }
  return Buffer.from(bytes);
}

function stopOffTheMainThread() {
  return new Promise((resolve, reject) => {
    native.library().zqkSetDeviceCallback.async(null, 0, (error) => (error ? reject(error) : resolve()));
  });
}

class DeviceWatcher extends EventEmitter {
  constructor() {
    super();
    this._open = false;
    this._closing = null;
    this._callback = null;
    this._wanted = true; // ref() and unref()
    this._keepAlive = null;
    this.on('newListener', () => process.nextTick(() => this._keepAliveAsNeeded()));
    this.on('removeListener', () => this._keepAliveAsNeeded());
  }

  // Starts the library's watch; a second watcher while one runs is refused.
  _start() {
    if (owner) throw errorFor(STATUSES.BUSY, 'a device watcher is running already: close it first (one at a time)');
    const lib = native.library();
    this._callback = koffi.register((user, arrived, path, serial) => {
      const event = { arrived: arrived !== 0, path: fromDevice(lentBytes(path)), serial: fromDevice(lentBytes(serial)) };
      // After this callback has returned: the library's thread waits until then.
      process.nextTick(() => this._deliver(event));
    }, koffi.pointer(native.DeviceCallback));
    owner = this;
    this._open = true;
    if (lib.zqkSetDeviceCallback(this._callback, 0) !== 0) {
      const failure = lastError() || new ZqkError(STATUSES.OK, 'watching for devices failed without a reason');
      this._release();
      throw failure;
    }
    this._keepAliveAsNeeded();
    return this;
  }

  _deliver(event) {
    if (this._open) this.emit(event.arrived ? 'arrive' : 'leave', event);
  }

  // Whether the watch is open and emits events.
  get active() { return this._open; }

  // Ends the watch: no event is emitted once close() was called; the Promise
  // resolves when the library's thread calls back no more. Closing twice is
  // no error.
  close() {
    if (!this._closing) this._closing = this._stop();
    return this._closing;
  }

  async _stop() {
    const mine = owner === this && this._open;
    this._open = false;
    this._keepAliveAsNeeded();
    try {
      if (mine) await stopOffTheMainThread();
    } finally {
      this._release();
    }
  }

  _release() {
    this._open = false;
    if (owner === this) owner = null;
    if (this._callback) koffi.unregister(this._callback);
    this._callback = null;
  }

  // An open watcher with an 'arrive' or 'leave' listener keeps the process
  // alive, as a listening server does; unref() lets it end anyway.
  ref() {
    this._wanted = true;
    this._keepAliveAsNeeded();
    return this;
  }

  unref() {
    this._wanted = false;
    this._keepAliveAsNeeded();
    return this;
  }

  _keepAliveAsNeeded() {
    const needed = this._open && this._wanted && this.listenerCount('arrive') + this.listenerCount('leave') > 0;
    if (needed && !this._keepAlive) this._keepAlive = setInterval(() => {}, NEVER);
    if (!needed && this._keepAlive) {
      clearInterval(this._keepAlive);
      this._keepAlive = null;
    }
  }

  [Symbol.for('nodejs.util.inspect.custom')]() {
    return `DeviceWatcher <${this._open ? 'open' : 'closed'}>`;
  }
}

if (Symbol.asyncDispose) DeviceWatcher.prototype[Symbol.asyncDispose] = DeviceWatcher.prototype.close;

// Starts watching for matching devices that arrive or leave.
function watch() {
  return new DeviceWatcher()._start();
}

module.exports = { DeviceWatcher, watch };
