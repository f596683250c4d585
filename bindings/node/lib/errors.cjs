'use strict';
// The errors of the binding: one Error subclass per kind of failure, each with
// `status` (the library's status number), `code` (as Node's own system errors
// name their kind: 'ENODEV', 'EACCES', 'EBUSY', 'ETIMEDOUT', 'ENOENT', ...) and
// the library's status text as the message.

const os = require('node:os');
const { STATUSES } = require('./_tables.cjs');

class ZqkError extends Error {
  constructor(status, text, code = 'EIO') {
    super(text || `zqkAPI status ${status}`);
    this.name = new.target.name;
    this.status = status;
    this.code = code;
  }
}

class NoDeviceError extends ZqkError {
  constructor(status, text) { super(status, text, 'ENODEV'); }
}
class AccessDeniedError extends ZqkError {
  constructor(status, text) { super(status, text, 'EACCES'); }
}
class DeviceBusyError extends ZqkError {
  constructor(status, text) { super(status, text, 'EBUSY'); }
}
class DeviceTimeoutError extends ZqkError {
  constructor(status, text) { super(status, text, 'ETIMEDOUT'); }
}
// The device went away, a write to it failed, or it is no longer open.
class DeviceGoneError extends ZqkError {
  constructor(status, text) { super(status, text, 'ENODEV'); }
}

const DEVICE_ANSWER = /: (\d+):([^:\n]*)$/;

// The device answered with an error: deviceCode and deviceText are its
// answer (4 and "No file" of "4:No file"), null where it gave none.
class RefusedError extends ZqkError {
  constructor(status, text, code = 'EREMOTEIO') {
    super(status, text, code);
    const answer = DEVICE_ANSWER.exec(text || '');
    this.deviceCode = answer ? Number(answer[1]) : null;
    this.deviceText = answer ? answer[2] : null;
  }
}
// The device has no such file or folder ("4:No file", "5:No path").
class DeviceFileNotFoundError extends RefusedError {
  constructor(status, text) { super(status, text, 'ENOENT'); }
}

// The reasons the library's texts end with, as the C library words them.
const REASONS = [['ENOENT', 'No such file or directory'], ['EACCES', 'Permission denied'],
  ['EPERM', 'Operation not permitted'], ['EEXIST', 'File exists'], ['EISDIR', 'Is a directory'],
  ['ENOTDIR', 'Not a directory'], ['ENOSPC', 'No space left on device'], ['EROFS', 'Read-only file system'],
  ['ENAMETOOLONG', 'File name too long'], ['ELOOP', 'Too many levels of symbolic links']];

// A local file could not be read or written: code as the system said it
// (EIO where the text names no reason), path the file where the call knows it.
class LocalFileError extends ZqkError {
  constructor(status, text) {
    const reason = REASONS.find(([, words]) => (text || '').endsWith(words));
    super(status, text, reason ? reason[0] : 'EIO');
    if (reason) this.errno = -os.constants.errno[reason[0]];
    this.path = undefined;
  }
}
class InvalidArgumentError extends ZqkError {
  constructor(status, text) { super(status, text, 'EINVAL'); }
}
// The library was not found, could not be loaded, or is older than this binding.
class LibraryError extends ZqkError {
  constructor(text) { super(STATUSES.NO_LIBRARY, text, 'ELIBACC'); }
}

const BY_STATUS = new Map([
  [STATUSES.NO_DEVICE, NoDeviceError],
  [STATUSES.NOT_OPEN, DeviceGoneError],
  [STATUSES.ACCESS, AccessDeniedError],
  [STATUSES.BUSY, DeviceBusyError],
  [STATUSES.TIMEOUT, DeviceTimeoutError],
  [STATUSES.GONE, DeviceGoneError],
  [STATUSES.REFUSED, RefusedError],
  [STATUSES.LOCAL_FILE, LocalFileError],
  [STATUSES.ARGUMENT, InvalidArgumentError],
  [STATUSES.IN_TRANSFER, DeviceBusyError],
  [STATUSES.BUFFER, InvalidArgumentError],
]);

// The device's codes for a file or folder it does not have.
const NOT_FOUND_CODES = [4, 5];

// The error for a status and its text.
function errorFor(status, text) {
  const Kind = BY_STATUS.get(status) || ZqkError;
  const error = Kind === LibraryError ? new LibraryError(text) : new Kind(status, text);
  if (error instanceof RefusedError && NOT_FOUND_CODES.includes(error.deviceCode)) {
    return new DeviceFileNotFoundError(status, text);
  }
  return error;
}

module.exports = {
  ZqkError, NoDeviceError, AccessDeniedError, DeviceBusyError, DeviceTimeoutError, DeviceGoneError,
  RefusedError, DeviceFileNotFoundError, LocalFileError, InvalidArgumentError, LibraryError, errorFor,
};
