// The ES module entry: the same binding as index.cjs.
import zqkapi from './index.cjs';

export default zqkapi;
export const {
  devices, devicesSync, open, openSync, waitForDevice, waitForDeviceSync, libraryVersion, libraryPath, useLibrary,
  watch, Device, DeviceWatcher, STATUS, ATTR, ZqkError, NoDeviceError, AccessDeniedError, DeviceBusyError, DeviceTimeoutError,
  DeviceGoneError, RefusedError, DeviceFileNotFoundError, LocalFileError, InvalidArgumentError, LibraryError,
} = zqkapi;
