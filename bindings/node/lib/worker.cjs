'use strict';
// A device's worker thread: runs the operations it is sent, one at a time,
// and answers each with its result or its error; progress goes back as
// messages while a transfer runs.

const { parentPort, workerData } = require('node:worker_threads');
const native = require('./native.cjs');
const { OPERATIONS, WITH_PROGRESS } = require('./calls.cjs');

native.useLibrary(workerData.library);

function plainError(error) {
  return {
    name: error.name, message: error.message, status: error.status, path: error.path,
    zqk: typeof error.status === 'number',
  };
}

// Each message to the main thread costs more than a block's transfer: the
// first report, the last and one every PROGRESS_EVERY_MS in between go, the
// others are left out (the next one that goes says as much).
const PROGRESS_EVERY_MS = 16;

function progressSender(id) {
  let sentAt = -Infinity;
  return (done, total) => {
    const now = performance.now();
    if (done < total && now - sentAt < PROGRESS_EVERY_MS) return;
    sentAt = now;
    parentPort.postMessage({ id, progress: [done, total] });
  };
}

parentPort.on('message', ({ id, operation, args, progress }) => {
  const run = OPERATIONS[operation];
  const callArgs = WITH_PROGRESS.has(operation) ? [...args, progress ? progressSender(id) : null] : args;
  try {
    const result = run(...callArgs);
    // A Buffer's memory moves to the main thread instead of being copied.
    const moved = Buffer.isBuffer(result) && result.byteOffset === 0 ? [result.buffer] : [];
    parentPort.postMessage({ id, result }, moved);
  } catch (error) {
    parentPort.postMessage({ id, error: plainError(error) });
  }
});
