'use strict';
// Finding and loading the zqkAPI library, with the C types of every export.

const fs = require('node:fs');
const path = require('node:path');
const koffi = require('koffi');
const { EXPORTS, STATUSES } = require('./_tables.cjs'); // generated from the library's lists
const { LibraryError } = require('./errors.cjs');

// The oldest library this binding works with: the one that brought handles,
// statuses and sim: paths. A library of another major version is refused too.
const REQUIRED_VERSION = [1, 1, 0];

const WINDOWS = process.platform === 'win32';
// The 32-bit DLL uses stdcall; everything else the platform's C convention.
const STDCALL = WINDOWS && process.arch === 'ia32';

const LIBRARY_NAMES = WINDOWS ? ['zqkAPI.dll']
  : process.platform === 'darwin' ? ['libzqkAPI.1.dylib', 'libzqkAPI.dylib']
    : ['libzqkAPI.so.1', 'libzqkAPI.so'];

const convention = STDCALL ? '__stdcall' : '';
const ProgressCallback = koffi.proto(
  `void ${convention} zqkProgressCallback(int32_t UserData, int32_t Position, int32_t Total)`);
const DevProgressCallback = koffi.proto(
  `void ${convention} zqkDevProgressCallback(intptr_t UserData, int32_t Position, int32_t Total)`);
const DevCommandLogCallback = koffi.proto(
  `void ${convention} zqkDevCommandLogCallback(intptr_t UserData, const char *Line)`);
// Path and Serial as pointers: the binding reads their bytes (text.cjs decides the encoding).
const DeviceCallback = koffi.proto(
  `void ${convention} zqkDeviceCallback(intptr_t UserData, int32_t Arrived, const void *Path, const void *Serial)`);

// How each C type of zqkAPI.h crosses into koffi: text goes as zero-terminated
// Buffers (so that the binding decides the encoding), the buffer-return
// convention's buffers and the int32_t outputs as Buffers and Int32Arrays.
const C_TYPES = {
  'void': 'void',
  'int32_t': 'int32_t',
  'intptr_t': 'intptr_t',
  'const char *': 'const uint8_t *',
  'char *': 'uint8_t *',
  'int32_t *': 'int32_t *',
  'zqkProgressCallback': koffi.pointer(ProgressCallback),
  'zqkDevProgressCallback': koffi.pointer(DevProgressCallback),
  'zqkDevCommandLogCallback': koffi.pointer(DevCommandLogCallback),
  'zqkDeviceCallback': koffi.pointer(DeviceCallback),
};

function koffiType(cType, exportName) {
  const type = C_TYPES[cType];
  if (type === undefined) throw new LibraryError(`${exportName}: the Node.js binding has no type for ${cType}`);
  return type;
}

function declare(lib, name, result, parameters) {
  return STDCALL ? lib.func('__stdcall', name, result, parameters) : lib.func(name, result, parameters);
}

function versionText(version) {
  return `${version >> 16}.${(version >> 8) & 0xff}.${version & 0xff}`;
}

// Checks the library's version and declares every export.
function prepared(lib, name) {
  const wanted = versionText((REQUIRED_VERSION[0] << 16) | (REQUIRED_VERSION[1] << 8) | REQUIRED_VERSION[2]);
  let version;
  try {
    version = declare(lib, 'zqkVersion', 'int32_t', [])();
  } catch {
    throw new LibraryError(`${name} is no zqkAPI library of release ${wanted} or later: it has no zqkVersion`);
  }
  const found = [version >> 16, (version >> 8) & 0xff, version & 0xff];
  const older = found[0] !== REQUIRED_VERSION[0] ||
    found[1] * 256 + found[2] < REQUIRED_VERSION[1] * 256 + REQUIRED_VERSION[2];
  if (older) {
    throw new LibraryError(`${name} is zqkAPI ${versionText(version)}, but this binding needs release ${wanted} ` +
      `or a later ${REQUIRED_VERSION[0]}.x`);
  }
  const functions = { path: name, version: versionText(version) };
  for (const [exportName, , result, parameters] of EXPORTS) {
    try {
      functions[exportName] = declare(lib, exportName, koffiType(result, exportName),
        parameters.map(([cType]) => koffiType(cType, exportName)));
    } catch (error) {
      if (error instanceof LibraryError) throw error;
      throw new LibraryError(`${name} lacks the export ${exportName}`);
    }
  }
  return functions;
}

// The libraries to try, in order: the file that ZQKAPI_LIBRARY names (only
// that one when it is set), the package's own folder, the build tree the
// package sits in (build/KIND/bindings/node), the system's search.
function candidates(environ = process.env) {
  if (environ.ZQKAPI_LIBRARY) return [environ.ZQKAPI_LIBRARY];
  const packageDir = path.resolve(__dirname, '..');
  const folders = [packageDir, path.resolve(packageDir, '..', '..')];
  const found = [];
  for (const folder of folders) {
    for (const name of LIBRARY_NAMES) {
      const file = path.join(folder, name);
      if (fs.existsSync(file)) found.push(file);
    }
  }
  return [...new Set([...found, ...LIBRARY_NAMES])];
}

function load(name) {
  let lib;
  try {
    lib = koffi.load(name);
  } catch (error) {
    throw new LibraryError(`cannot load the zqkAPI library ${name}: ${error.message}`);
  }
  return prepared(lib, name);
}

function findAndLoad(environ = process.env) {
  const chosen = environ.ZQKAPI_LIBRARY;
  if (chosen && !fs.existsSync(chosen)) throw new LibraryError(`ZQKAPI_LIBRARY names ${chosen}, which is no file`);
  if (chosen) return load(chosen);
  const tried = candidates(environ);
  const problems = [];
  for (const name of tried) {
    let lib;
    try {
      lib = koffi.load(name);
    } catch (error) {
      // There, but not for this process (32-bit or 64-bit?).
      if (fs.existsSync(name)) problems.push(`${name}: ${error.message}`);
      continue;
    }
    return prepared(lib, name);
  }
  throw new LibraryError(`the zqkAPI library was not found (tried ${tried.join(', ')}; set ZQKAPI_LIBRARY to its ` +
    `file, put ${LIBRARY_NAMES[0]} beside the package, or install the library)` +
    problems.map((p) => `; ${p}`).join(''));
}

let loaded = null;
let chosenPath = null;

// The library, found and loaded at the first call; useLibrary() chooses
// the file before that.
function library() {
  if (!loaded) loaded = chosenPath ? load(chosenPath) : findAndLoad();
  return loaded;
}

function useLibrary(file) {
  if (loaded && loaded.path !== file) {
    throw new LibraryError(`the zqkAPI library ${loaded.path} is loaded already; choose the file before the first call`);
  }
  chosenPath = file;
  // A worker thread is told the same file through ZQKAPI_LIBRARY.
  return library();
}

module.exports = {
  REQUIRED_VERSION, STATUSES, LIBRARY_NAMES, STDCALL, DevProgressCallback, DeviceCallback, koffi,
  candidates, findAndLoad, library, useLibrary, versionText,
};
