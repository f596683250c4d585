'use strict';
// Runs operations on a worker thread of their own, so that a transfer never
// blocks the event loop: one runner per device (calls on one device queue up
// there, as the library serialises them anyway; different devices run in
// parallel), and one for the calls of no device. An idle runner does not
// keep the process alive.

const path = require('node:path');
const { Worker } = require('node:worker_threads');
const native = require('./native.cjs');
const { errorFor, ZqkError } = require('./errors.cjs');

function rebuiltError(plain, callSite) {
  let error;
  if (plain.zqk) {
    error = errorFor(plain.status, plain.message);
    if (plain.path !== undefined && 'path' in error) error.path = plain.path;
  } else {
    error = new Error(plain.message);
    error.name = plain.name;
  }
  error.stack = `${error.name}: ${error.message}\n${callSite.stack.split('\n').slice(1).join('\n')}`;
  return error;
}

class Runner {
  constructor() {
    this.worker = null;
    this.pending = new Map();
    this.nextId = 1;
  }

  start() {
    const worker = new Worker(path.join(__dirname, 'worker.cjs'), {
      workerData: { library: native.library().path },
    });
    worker.on('message', (message) => this.answer(message));
    worker.on('error', (error) => this.failAll(error));
    worker.on('exit', () => {
      if (this.worker === worker) this.worker = null;
      this.failAll(new ZqkError(-1, 'the worker thread of the device ended'));
    });
    worker.unref();
    return worker;
  }

  // Operation's result as a Promise; onProgress(done, total) on the main thread.
  run(operation, args, onProgress) {
    if (!this.worker) this.worker = this.start();
    const id = this.nextId++;
    // The caller's frames, for the stack of an error made when the answer comes.
    const callSite = {};
    Error.captureStackTrace(callSite, this.run);
    return new Promise((resolve, reject) => {
      this.pending.set(id, { resolve, reject, onProgress, callbackError: null, callSite });
      if (this.pending.size === 1) this.worker.ref();
      this.worker.postMessage({ id, operation, args, progress: Boolean(onProgress) });
    });
  }

  answer({ id, progress, result, error }) {
    const call = this.pending.get(id);
    if (!call) return;
    if (progress) {
      // A callback that throws: later reports are not passed on (the library
      // cannot stop a transfer from its callback); its error ends the call.
      if (call.onProgress && !call.callbackError) {
        try {
          call.onProgress(progress[0], progress[1]);
        } catch (thrown) {
          call.callbackError = thrown;
        }
      }
      return;
    }
    this.pending.delete(id);
    if (this.pending.size === 0 && this.worker) this.worker.unref();
    if (call.callbackError) call.reject(call.callbackError);
    else if (error) call.reject(rebuiltError(error, call.callSite));
    else call.resolve(result);
  }

  failAll(error) {
    for (const call of this.pending.values()) call.reject(error);
    this.pending.clear();
  }

  // Ends the worker once what is queued has run.
  async stop() {
    const worker = this.worker;
    this.worker = null;
    if (worker) await worker.terminate();
  }
}

module.exports = { Runner };
