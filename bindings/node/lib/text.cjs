'use strict';
// Device text (names, paths, commands and their output) is bytes. The binding
// reads and writes it as UTF-8, each byte that is not UTF-8 as the lone
// surrogate U+DC00 + byte, as Python's surrogateescape, the C# binding and the
// tool's JSON do: every name read can be written back unchanged. A Buffer
// names the bytes themselves.

// The length of the well-formed UTF-8 sequence at bytes[at], 0 where none
// starts there: overlong forms, surrogates and code points beyond U+10FFFF
// are not well-formed.
function sequenceLength(bytes, at) {
  const lead = bytes[at];
  if (lead < 0x80) return 1;
  const length = lead >= 0xc2 && lead <= 0xdf ? 2 : lead >= 0xe0 && lead <= 0xef ? 3
    : lead >= 0xf0 && lead <= 0xf4 ? 4 : 0;
  if (length === 0 || at + length > bytes.length) return 0;
  const low = lead === 0xe0 ? 0xa0 : lead === 0xf0 ? 0x90 : 0x80;
  const high = lead === 0xed ? 0x9f : lead === 0xf4 ? 0x8f : 0xbf;
  if (bytes[at + 1] < low || bytes[at + 1] > high) return 0;
  for (let i = 2; i < length; i++) {
    if (bytes[at + i] < 0x80 || bytes[at + i] > 0xbf) return 0;
  }
  return length;
}

// Bytes of device text as a string; never fails.
function fromDevice(bytes) {
  const text = Buffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength).toString('utf8');
  if (!text.includes('\ufffd') || Buffer.from(text, 'utf8').equals(bytes)) return text;
  let result = '';
  for (let start = 0, end = 0; start < bytes.length; start = ++end) {
    let length;
    while (end < bytes.length && (length = sequenceLength(bytes, end)) > 0) end += length;
    result += bytes.subarray(start, end).toString('utf8');
    if (end < bytes.length) result += String.fromCharCode(0xdc00 + bytes[end]);
  }
  return result;
}

// A string as the device's bytes; null where it holds a lone surrogate that
// stands for no byte (outside U+DC80 to U+DCFF).
function toDevice(text) {
  if (!/[\ud800-\udfff]/.test(text)) return Buffer.from(text, 'utf8');
  const parts = [];
  let start = 0;
  for (let i = 0; i < text.length; i++) {
    const unit = text.charCodeAt(i);
    if (unit < 0xd800 || unit > 0xdfff) continue;
    const next = text.charCodeAt(i + 1);
    if (unit < 0xdc00 && next >= 0xdc00 && next <= 0xdfff) {
      i++; // a pair: one code point
      continue;
    }
    if (unit < 0xdc80 || unit > 0xdcff) return null;
    parts.push(Buffer.from(text.slice(start, i), 'utf8'), Buffer.from([unit - 0xdc00]));
    start = i + 1;
  }
  parts.push(Buffer.from(text.slice(start), 'utf8'));
  return Buffer.concat(parts);
}

module.exports = { fromDevice, toDevice };
