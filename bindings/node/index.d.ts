// Types of the zqkapi package: zq.keeper data buffers from Node.js.

/// <reference types="node" />
import { EventEmitter } from 'node:events';

/** A device path, file name or command line: a string goes as UTF-8 (a lone surrogate U+DC80 to
 *  U+DCFF as the byte it stands for), a Buffer's bytes as they are. */
export type DeviceText = string | Buffer | Uint8Array;
/** A local file's path (on Windows: ASCII, or a Buffer in the system's code page). */
export type LocalPath = string | Buffer;
/** Progress of a transfer in bytes, after every block, on the main thread. */
export type ProgressCallback = (done: number, total: number) => void;

export interface TransferOptions {
  onProgress?: ProgressCallback;
}
export interface WriteOptions extends TransferOptions {
  /** The time stamp to give the file (as a local time); the device's clock when absent. */
  mtime?: Date | null;
}
export interface CommandOptions {
  /** Milliseconds of silence that end the output (default 2000). */
  timeout?: number;
  /** Output larger than this is lost and rejects with InvalidArgumentError (default 16 MiB). */
  maxOutput?: number;
}

/** A present device as devices() finds it (no device is opened). */
export interface DeviceInfo {
  path: string;
  serial: string;
  manufacturer: string;
  product: string;
}

export interface Identity extends DeviceInfo {
  /** The firmware string (USB string 203). */
  firmware: string;
  runMode: 'application' | 'bootloader' | 'ate' | 'unknown';
}

/** One entry of a device folder. */
export interface Entry {
  /** The name as UTF-8, each byte that is not UTF-8 as the lone surrogate U+DC00 + byte:
   *  passed back, it names the same bytes. */
  name: string;
  /** The name's bytes as the device keeps them; pass it back to name the entry exactly. */
  rawName: Buffer;
  size: number;
  /** The ATTR bits. */
  attributes: number;
  /** The device's time stamp read as local time; null when it gave no date. */
  mtime: Date | null;
  isDirectory: boolean;
}

export interface ProgressEvent {
  path: string;
  done: number;
  total: number;
}

/** An open device. Every method that talks to it returns a Promise and runs on the device's
 *  worker thread (calls on one device queue up; different devices run in parallel); each has a
 *  synchronous twin. Emits 'progress' (ProgressEvent) during transfers. */
export class Device extends EventEmitter {
  private constructor();
  /** The name it was opened by. */
  readonly name: string;
  /** The library's handle; 0 once closed. */
  readonly handle: number;

  info(): Promise<Identity>;
  infoSync(): Identity;
  /** USB string by index: 0 serial, 1 manufacturer, 2 product, 200 to 255 the device's own. */
  usbString(index: number): Promise<string>;
  usbStringSync(index: number): string;

  /** Sends a command line; resolves to its output up to the next prompt (without it). */
  command(line: DeviceText, options?: CommandOptions): Promise<string>;
  commandSync(line: DeviceText, options?: CommandOptions): string;

  listdir(path?: DeviceText): Promise<Entry[]>;
  listdirSync(path?: DeviceText): Entry[];

  /** Copies a device file to a local file; resolves to the number of bytes. */
  get(devicePath: DeviceText, localPath: LocalPath, options?: TransferOptions): Promise<number>;
  getSync(devicePath: DeviceText, localPath: LocalPath, options?: TransferOptions): number;
  /** Copies a local file to the device; resolves to the number of bytes. */
  put(localPath: LocalPath, devicePath: DeviceText, options?: WriteOptions): Promise<number>;
  putSync(localPath: LocalPath, devicePath: DeviceText, options?: WriteOptions): number;
  /** A device file's bytes (it crosses the link once, whatever its size). */
  readFile(devicePath: DeviceText, options?: TransferOptions): Promise<Buffer>;
  readFileSync(devicePath: DeviceText, options?: TransferOptions): Buffer;
  /** Writes bytes to a device file; resolves to the number of bytes. */
  writeFile(devicePath: DeviceText, data: Uint8Array, options?: WriteOptions): Promise<number>;
  writeFileSync(devicePath: DeviceText, data: Uint8Array, options?: WriteOptions): number;
  /** Sends a firmware image; resolves to the number of bytes sent. */
  flash(imagePath: LocalPath, options?: TransferOptions): Promise<number>;
  flashSync(imagePath: LocalPath, options?: TransferOptions): number;

  mkdir(path: DeviceText): Promise<void>;
  mkdirSync(path: DeviceText): void;
  /** Removes a folder with everything in it (the device's own remove). */
  rmdir(path: DeviceText): Promise<void>;
  rmdirSync(path: DeviceText): void;
  unlink(path: DeviceText): Promise<void>;
  unlinkSync(path: DeviceText): void;
  rename(oldPath: DeviceText, newPath: DeviceText): Promise<void>;
  renameSync(oldPath: DeviceText, newPath: DeviceText): void;

  /** Closes the device once what is queued on it has run; closing twice is no error. */
  close(): Promise<void>;
  closeSync(): void;
  [Symbol.dispose](): void;
  [Symbol.asyncDispose](): Promise<void>;

  on(event: 'progress', listener: (event: ProgressEvent) => void): this;
}

/** A matching device that arrived or left: its path as devices() gives it and open() takes it, and
 *  its serial number ('' when it has none), read as names are. */
export interface DeviceEvent {
  arrived: boolean;
  path: string;
  serial: string;
}

/** The library's watch for devices arriving and leaving, made by watch(): 'arrive' for every device
 *  present, then 'arrive' or 'leave' for each arrival and removal, in order, on the main thread.
 *  Open with an 'arrive' or 'leave' listener, it keeps the process alive (unref() lets it end);
 *  close() it before the process ends. */
export class DeviceWatcher extends EventEmitter {
  private constructor();
  /** Whether it is open and emits events. */
  readonly active: boolean;
  /** Ends the watch: no event is emitted once called; resolves when the library calls back no more. */
  close(): Promise<void>;
  [Symbol.asyncDispose](): Promise<void>;
  ref(): this;
  unref(): this;

  on(event: 'arrive' | 'leave', listener: (event: DeviceEvent) => void): this;
  once(event: 'arrive' | 'leave', listener: (event: DeviceEvent) => void): this;
  off(event: 'arrive' | 'leave', listener: (event: DeviceEvent) => void): this;
}

/** Starts watching for matching devices; one watcher at a time (DeviceBusyError while another is
 *  open or closing), NoDeviceError where the system cannot watch. */
export function watch(): DeviceWatcher;

/** The attached units that match the matching values. */
export function devices(): Promise<DeviceInfo[]>;
export function devicesSync(): DeviceInfo[];
/** Opens a device by path, serial number or "sim:DIR"; the first matching one without an argument. */
export function open(pathOrSerial?: DeviceText | null): Promise<Device>;
export function openSync(pathOrSerial?: DeviceText | null): Device;
/** Whether a unit (the one named, if given) came within timeout milliseconds (no limit when absent). */
export function waitForDevice(pathOrSerial?: DeviceText | null, options?: { timeout?: number }): Promise<boolean>;
export function waitForDeviceSync(pathOrSerial?: DeviceText | null, options?: { timeout?: number }): boolean;
/** The loaded library's version, "major.minor.patch". */
export function libraryVersion(): string;
/** The file of the loaded library. */
export function libraryPath(): string;
/** Chooses the library's file before the first call (else ZQKAPI_LIBRARY, the package's folder,
 *  the build tree, the system's search). */
export function useLibrary(file: string): void;

/** The library's status codes (ZQK_STATUS_* in zqkAPI.h); NO_LIBRARY is the binding's own. */
export const STATUS: Readonly<Record<string, number>>;
export const ATTR: Readonly<{ READ_ONLY: 1; HIDDEN: 2; SYSTEM: 4; DIRECTORY: 16; ARCHIVE: 32 }>;

/** A failure of a zqkAPI call: status is the library's status, code names its kind as Node's
 *  system errors do, message is the library's text. */
export class ZqkError extends Error {
  readonly status: number;
  readonly code: string;
}
/** code 'ENODEV': nothing matches, or the path or serial number is not present. */
export class NoDeviceError extends ZqkError {}
/** code 'EACCES': the system refused to open the device. */
export class AccessDeniedError extends ZqkError {}
/** code 'EBUSY': another program or thread held the device too long. */
export class DeviceBusyError extends ZqkError {}
/** code 'ETIMEDOUT': the device stayed silent. */
export class DeviceTimeoutError extends ZqkError {}
/** code 'ENODEV': the device went away, a write to it failed, or it is no longer open. */
export class DeviceGoneError extends ZqkError {}
/** code 'EREMOTEIO': the device answered with an error. */
export class RefusedError extends ZqkError {
  /** The device's code (4 of "4:No file"), null where it gave none. */
  readonly deviceCode: number | null;
  readonly deviceText: string | null;
}
/** code 'ENOENT': the device has no such file or folder. */
export class DeviceFileNotFoundError extends RefusedError {}
/** code as the system said it ('ENOENT', 'EACCES', ..., 'EIO'); path where the call knows it. */
export class LocalFileError extends ZqkError {
  path?: LocalPath;
  errno?: number;
}
/** code 'EINVAL': an argument the library or the binding cannot take. */
export class InvalidArgumentError extends ZqkError {}
/** code 'ELIBACC': the library was not found, could not be loaded, or is too old. */
export class LibraryError extends ZqkError {}
