#!/usr/bin/env python3
"""Rewrites a trace of the library (pcapng, link type USER0, one packet per
report) as the capture of the same reports that a USB sniffer would have
made of real hardware, so that readers of those captures can be tested
without a unit on the bus.

usage: capture_convert.py --usbmon|--usbpcap IN.pcapng OUT.pcap

--usbmon   Linux usbmon: pcap, link type 220 (LINKTYPE_USB_LINUX_MMAPPED,
           64-byte headers), each report a submit and a completion.
--usbpcap  Windows USBPcap: pcap, link type 249.

Both start with the GET_DESCRIPTOR exchange of the device descriptor that a
capture of the device's enumeration holds, so that the vendor and product
IDs are known to the reader. The trace's events (comment-only packets) have
no counterpart on the bus and are left out.
"""
import struct
import sys

VENDOR_ID, PRODUCT_ID = 0x16D0, 0x064E
BUS, DEVICE = 1, 5
IN_ENDPOINT, OUT_ENDPOINT = 0x81, 0x01
INTERRUPT, CONTROL = 1, 2
EINPROGRESS = 115
# epb_flags' direction bits
INBOUND, OUTBOUND = 1, 2
GET_DEVICE_DESCRIPTOR = bytes([0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0x00])


def device_descriptor(vendor=VENDOR_ID, product=PRODUCT_ID):
    return struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0200, 0, 0, 0, 64, vendor, product, 0x0100, 1, 2, 3, 1)


def read_blocks(data):
    """The blocks of a pcapng file as (type, body), little- or big-endian
    as each section's header says."""
    offset, order = 0, "<"
    while offset + 12 <= len(data):
        if data[offset:offset + 4] == b"\x0a\x0d\x0d\x0a":
            order = "<" if data[offset + 8:offset + 12] == b"\x4d\x3c\x2b\x1a" else ">"
        block_type, length = struct.unpack_from(order + "II", data, offset)
        if length < 12 or offset + length > len(data):
            break  # a block cut short: the trace ended while it was written
        yield block_type, data[offset + 8:offset + length - 4], order
        offset += length


def packet_flags(options, order):
    """epb_flags (option 2) of an enhanced packet block's options, 0 if none."""
    offset = 0
    while offset + 4 <= len(options):
        code, length = struct.unpack_from(order + "HH", options, offset)
        if code == 0:
            break
        if code == 2 and length == 4:
            return struct.unpack_from(order + "I", options, offset + 4)[0]
        offset += 4 + (length + 3) // 4 * 4
    return 0


def reports(path):
    """(microseconds, inbound, bytes) of each report in a trace."""
    with open(path, "rb") as f:
        data = f.read()
    for block_type, body, order in read_blocks(data):
        if block_type != 6:
            continue
        _, high, low, captured, _ = struct.unpack_from(order + "IIIII", body, 0)
        packet = body[20:20 + captured]
        flags = packet_flags(body[20 + (captured + 3) // 4 * 4:], order)
        if captured and flags & 3:
            yield (high << 32) | low, flags & 3 == INBOUND, packet


def pcap_header(link_type):
    return struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, link_type)


def pcap_record(microseconds, frame):
    seconds, fraction = divmod(microseconds, 1000000)
    return struct.pack("<IIII", seconds, fraction, len(frame), len(frame)) + frame


# usbmon: one 64-byte header (linux/usb/mon.h's mon_bin_hdr, host byte
# order) before the data of each event.
def usbmon_event(microseconds, urb_id, kind, transfer, endpoint, status, length, data, setup=None):
    flag_setup = b"\0" if setup is not None else b"-"
    flag_data = b"\0" if data else (b"<" if endpoint & 0x80 else b">")
    header = struct.pack("<QcBBBHcc", urb_id, kind, transfer, endpoint, DEVICE, BUS, flag_setup, flag_data)
    seconds, fraction = divmod(microseconds, 1000000)
    header += struct.pack("<qiiII", seconds, fraction, status, length, len(data))
    header += setup if setup is not None else bytes(8)
    header += struct.pack("<iiII", 1 if transfer == INTERRUPT else 0, 0, 0, 0)
    return header + data


def usbmon_frames(trace, descriptor):
    """(microseconds, frame) of the whole capture; no descriptor exchange
    when descriptor is None, as in a capture begun after enumeration."""
    items = list(trace)
    start = items[0][0] if items else 0
    if descriptor is not None:
        yield start, usbmon_event(start, 1, b"S", CONTROL, 0x80, -EINPROGRESS, 18, b"", GET_DEVICE_DESCRIPTOR)
        yield start, usbmon_event(start, 1, b"C", CONTROL, 0x80, 0, 18, descriptor)
    for number, (microseconds, inbound, packet) in enumerate(items, start=2):
        endpoint = IN_ENDPOINT if inbound else OUT_ENDPOINT
        submitted = b"" if inbound else packet  # an OUT transfer's data goes with its submission
        yield microseconds, usbmon_event(microseconds, number, b"S", INTERRUPT, endpoint, -EINPROGRESS, len(packet), submitted)
        yield microseconds, usbmon_event(microseconds, number, b"C", INTERRUPT, endpoint, 0, len(packet),
                                         packet if inbound else b"")


# USBPcap: the packed USBPCAP_BUFFER_PACKET_HEADER (27 bytes; control
# transfers add the stage byte) before the data of each IRP.
URB_FUNCTION_CONTROL_TRANSFER, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0008, 0x0009
STAGE_SETUP, STAGE_COMPLETE = 0, 3


def usbpcap_event(irp_id, completed, transfer, endpoint, data, stage=None):
    function = URB_FUNCTION_CONTROL_TRANSFER if transfer == CONTROL else URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER
    header_length = 27 if stage is None else 28
    header = struct.pack("<HQIHBHHBBI", header_length, irp_id, 0, function, 1 if completed else 0, BUS, DEVICE,
                         endpoint, transfer, len(data))
    if stage is not None:
        header += bytes([stage])
    return header + data


def usbpcap_frames(trace, descriptor):
    items = list(trace)
    start = items[0][0] if items else 0
    if descriptor is not None:
        yield start, usbpcap_event(1, False, CONTROL, 0x80, GET_DEVICE_DESCRIPTOR, STAGE_SETUP)
        yield start, usbpcap_event(1, True, CONTROL, 0x80, descriptor, STAGE_COMPLETE)
    for number, (microseconds, inbound, packet) in enumerate(items, start=2):
        endpoint = IN_ENDPOINT if inbound else OUT_ENDPOINT
        yield microseconds, usbpcap_event(number, False, INTERRUPT, endpoint, b"" if inbound else packet)
        yield microseconds, usbpcap_event(number, True, INTERRUPT, endpoint, packet if inbound else b"")


FORMATS = {"--usbmon": (220, usbmon_frames), "--usbpcap": (249, usbpcap_frames)}


def convert(form, trace_path, out_path, descriptor=device_descriptor()):
    """Writes the capture; form is --usbmon or --usbpcap."""
    link_type, frames = FORMATS[form]
    with open(out_path, "wb") as out:
        out.write(pcap_header(link_type))
        for microseconds, frame in frames(reports(trace_path), descriptor):
            out.write(pcap_record(microseconds, frame))


def main(argv):
    if len(argv) != 4 or argv[1] not in FORMATS:
        sys.stderr.write(__doc__.split("\n\n")[1] + "\n")
        return 2
    convert(argv[1], argv[2], argv[3])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
