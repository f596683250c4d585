#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets (fuzz/corpus/TARGET/).

The listing and NFTYPE seeds are device output as the simulated device
writes it. The other targets read their input through libFuzzer's
FuzzedDataProvider, which takes byte strings from the front of the input and
numbers from its back; Script below lays out an input that way, so that each
seed is a readable script of real report shapes and conversations.
Run it after changing how a target reads its input; `scripts/fuzz` uses the
corpora as they are checked in.
"""
import base64
import os
import sys

PROMPT = b"\xabzq.keeper>\xbb"
HERE = os.path.dirname(os.path.abspath(__file__))


def packed(y, mo, d, h, mi, s):
    return ((y - 1980) << 25) | (mo << 21) | (d << 16) | (h << 11) | (mi << 5) | (s // 2)


class Script:
    """An input for FuzzedDataProvider: strings from the front, numbers from the back."""

    def __init__(self):
        self.front = b""
        self.back = []  # bytes in the order they are consumed

    def num(self, lo, hi, value, width=8):
        rng = hi - lo
        count = 0
        while count * 8 < width * 8 and (rng >> (count * 8)) > 0:
            count += 1
        v = value - lo
        assert 0 <= v <= rng
        self.back += list(v.to_bytes(count, "big")) if count else []
        return self

    def boolean(self, value):
        return self.num(0, 255, 1 if value else 0, 1)

    def text(self, data):  # ConsumeRandomLengthString: backslashes doubled, "\\x" ends it
        self.front += data.replace(b"\\", b"\\\\") + b"\\x"
        return self

    def raw(self, data):  # ConsumeBytes of exactly len(data)
        self.front += data
        return self

    def bytes(self):
        return self.front + bytes(reversed(self.back))


def packet(channel, data, length=None):
    body = bytes([channel, 0, len(data) if length is None else length]) + data
    return body + b"\0" * (64 - len(body))


# ---- fuzz_link_reports ----
def link_inject(s, report, delay=0):
    s.num(0, 9, 0).num(0, 3000, delay, 4)
    if len(report) == 64:
        s.num(0, 3, 1, 8)
    else:
        s.num(0, 3, 0, 8).num(0, 200, len(report), 8)
    s.raw(report)


def link_receive(s, channel, timeout_pick, max_count):
    s.num(0, 9, 4).num(-1, 32, channel, 4).num(0, 14, timeout_pick, 8).num(-1, 63, max_count, 4)


def link_seeds():
    seeds = {}
    s = Script()
    link_inject(s, packet(0, PROMPT))
    link_receive(s, 0, 9, -1)
    seeds["prompt_packet"] = s
    s = Script()
    link_inject(s, packet(3, bytes(range(61))))
    link_receive(s, 3, 0, 10)
    link_receive(s, 3, 0, 10)
    link_receive(s, 3, 0, -1)
    seeds["packet_in_pieces"] = s
    s = Script()
    link_inject(s, packet(0, b"x" * 63)[:63])
    link_inject(s, packet(0, b"long report") + b"tail", 600)
    link_inject(s, b"")
    s.num(0, 9, 3).num(0, 14, 10, 8)
    link_receive(s, 0, 5, -1)
    seeds["odd_report_sizes"] = s
    s = Script()
    link_inject(s, packet(0, b"claims too much", 0xFF))
    link_inject(s, packet(32, b"no such channel"))
    link_inject(s, packet(0xFF, b"nor this"))
    s.num(0, 9, 6).num(-1, 32, 0, 4)
    link_receive(s, 0, 1, -1)
    seeds["bad_length_and_channel"] = s
    s = Script()
    s.num(0, 9, 2).num(0, 255, 1, 1).num(1, 2048 + 64, 2100, 8).text(b"flood")
    link_receive(s, 1, 0, -1)
    s.num(0, 9, 7).num(-1, 32, 1, 4)
    seeds["buffer_cap"] = s
    s = Script()
    s.num(0, 9, 8).num(-1, 32, 0, 4).text(b"NFDIR @\"/logs\"\r" * 8).num(0, 14, 4, 8)
    s.num(0, 9, 9)
    s.num(0, 9, 8).num(-1, 32, 0, 4).text(b"\x1b").num(0, 14, 4, 8)
    link_receive(s, 0, 9, -1)
    s.num(0, 9, 9)
    link_receive(s, 0, 9, -1)
    seeds["send_and_unplug"] = s
    return seeds


# ---- fuzz_terminal_output ----
def term_output(s, text, cut=61, delay=0, gaps=None):
    gaps = gaps or {}
    s.num(0, 12, 0).text(text).num(0, 3000, delay, 4)
    at = 0
    index = 0
    while at < len(text):
        n = min(cut, len(text) - at)
        s.num(1, 61, n, 8).num(0, 15, 1, 4)
        if index + 1 in gaps:
            s.num(0, 7, 0, 4).num(0, 3000, gaps[index + 1], 4)
        else:
            s.num(0, 7, 1, 4)
        at += n
        index += 1


def term_timeout(s, pick):
    s.num(0, 11, pick, 8)


def terminal_seeds():
    seeds = {}
    s = Script()
    s.num(0, 12, 9).text(b"ver")
    term_output(s, b"zq.keeper firmware 2.4.1 (simulated)\r\n" + PROMPT)
    s.num(0, 12, 6)
    term_timeout(s, 8)
    seeds["command_output"] = s
    s = Script()
    term_output(s, b"\r\n" + PROMPT)
    s.num(0, 12, 8).boolean(True)
    term_output(s, b"\r\n\xabPASSWORD:\xbb")
    s.num(0, 12, 8).boolean(False).text(b"PASSWORD")
    seeds["escape_and_password"] = s
    s = Script()
    listing = (b"Directory of /logs\r\nday.log\t5000\t32\t1483690639\t1483690639\t1483690639\r\n"
               b"empty.bin\t0\t32\t1483690639\t1483690639\t1483690639\r\n\r\n" + PROMPT)
    term_output(s, listing, cut=7)
    for _ in range(4):
        s.num(0, 12, 4).num(0, 4, 0, 4).num(0, 4, 0, 4)
        term_timeout(s, 7)
    s.num(0, 12, 5)
    term_timeout(s, 4)
    seeds["listing_lines"] = s
    s = Script()
    term_output(s, bytes(range(256)) * 1 + PROMPT, gaps={2: 1500, 4: 2500})
    s.num(0, 12, 3).num(-2, 300, 100, 4)
    term_timeout(s, 7)
    s.num(0, 12, 3).num(-2, 300, 200, 4)
    term_timeout(s, 8)
    s.num(0, 12, 3).num(-2, 300, 12, 4)
    term_timeout(s, 8)
    seeds["stalls_between_packets"] = s
    s = Script()
    term_output(s, PROMPT + PROMPT + b"late output\r\n" + PROMPT + b"tail")
    s.num(0, 12, 7)
    term_timeout(s, 5)
    s.num(0, 12, 10).boolean(False).text(b"")
    s.num(0, 12, 7)
    term_timeout(s, 3)
    seeds["prompts_before_output"] = s
    s = Script()
    s.num(0, 12, 2).num(0, 100, 64, 8).raw(packet(5, b"other channel")).num(0, 600, 0, 4)
    term_output(s, b"ok\r\n" + PROMPT)
    s.num(0, 12, 12)
    s.num(0, 12, 6)
    term_timeout(s, 6)
    s.num(0, 12, 12)
    s.num(0, 12, 6)
    term_timeout(s, 6)
    seeds["other_channel_and_unplug"] = s
    return seeds


# ---- fuzz_file_conversation ----
PATHS = ["/README.TXT", "/logs/day.log", "/logs/empty.bin", "/docs/a b.txt", "/logs", "/docs", "/new",
         "/logs/new.bin", "/nothing/here", "/"]
SIZES = [0, 1, 61, 4096, 4097, 9000]


def conv_op(s, op):
    s.num(0, 11, op)


def conv_path(s, path):
    if path in PATHS:
        s.num(0, 10, PATHS.index(path), 8)
    else:
        s.num(0, 10, 10, 8).text(path.encode("latin-1"))


def conv_answer(s, kind, *args):
    """What the filter does to the device's next answer."""
    s.num(0, 9, kind, 4)
    if kind == 2:
        for cut in args:
            s.num(1, 61, cut, 8)
    elif kind == 3:
        s.num(1, 9000, args[0], 4)
    elif kind == 4:
        s.num(0, args[1], args[0], 8)
    elif kind == 6:
        s.text(args[0])
    elif kind == 9:
        s.num(0, args[1], args[0], 8).num(1, 9000, args[2], 4)


def conversation_seeds():
    # A listing, a read and a change each get one answer (the escape's prompt
    # and the command's output come together); a write and a firmware load
    # get two ("Send file", then the closing answer).
    seeds = {}
    s = Script()
    s.num(0, 3, 0)  # quoted names
    conv_op(s, 0); conv_path(s, "/logs"); conv_answer(s, 0)
    conv_op(s, 0); conv_path(s, "/"); conv_answer(s, 2, *([7] * 20))
    seeds["listings"] = s
    s = Script()
    s.num(0, 3, 0)
    conv_op(s, 1); conv_path(s, "/logs/day.log"); conv_answer(s, 0)
    conv_op(s, 1); conv_path(s, "/logs/empty.bin"); conv_answer(s, 0)
    conv_op(s, 2); conv_path(s, "/nothing/here"); conv_answer(s, 0)
    seeds["reads"] = s
    s = Script()
    s.num(0, 3, 0)
    conv_op(s, 3); s.num(0, 5, 4, 8).num(0, 255, 7, 1); conv_path(s, "/logs/new.bin"); conv_answer(s, 0)
    conv_answer(s, 0)
    conv_op(s, 1); conv_path(s, "/logs/new.bin"); conv_answer(s, 0)
    seeds["write_then_read"] = s
    s = Script()
    s.num(0, 3, 0)
    conv_op(s, 4); s.num(0, 5, 5, 8).num(0, 255, 3, 1); conv_answer(s, 0); conv_answer(s, 0)
    conv_op(s, 4); s.num(0, 5, 3, 8).num(0, 255, 3, 1); conv_answer(s, 0); conv_answer(s, 4, 5, 30)
    seeds["firmware"] = s
    s = Script()
    s.num(0, 3, 0)
    conv_op(s, 5); conv_path(s, "/new"); conv_answer(s, 0)
    conv_op(s, 8); conv_path(s, "/new"); conv_path(s, "/docs"); conv_answer(s, 0)
    conv_op(s, 6); conv_path(s, "/new"); conv_answer(s, 0)
    conv_op(s, 7); conv_path(s, "/README.TXT"); conv_answer(s, 0)
    conv_op(s, 9); s.num(0, 3000, 2000, 4); conv_answer(s, 0)
    conv_op(s, 10); s.boolean(True); conv_answer(s, 0)
    seeds["changes_and_command"] = s
    s = Script()
    s.num(0, 3, 0)
    conv_op(s, 1); conv_path(s, "/logs/day.log"); conv_answer(s, 4, 2000, 5100)
    conv_op(s, 1); conv_path(s, "/README.TXT"); conv_answer(s, 6, b"README.TXT\t99999\r\nshort")
    conv_op(s, 1); conv_path(s, "/docs/a b.txt"); conv_answer(s, 0)
    seeds["read_cut_short_and_lying"] = s
    s = Script()
    s.num(0, 3, 0)
    conv_op(s, 0); conv_path(s, "/logs"); conv_answer(s, 9, 40, 200, 1500)
    conv_op(s, 11); s.num(0, 10000, 3000, 8)
    conv_op(s, 3); s.num(0, 5, 5, 8).num(0, 255, 9, 1); conv_path(s, "/docs/x.bin"); conv_answer(s, 0)
    conv_answer(s, 3, 8500)
    conv_op(s, 0); conv_path(s, "/docs"); conv_answer(s, 0)
    seeds["stalls_and_late_answers"] = s
    s = Script()
    s.num(0, 3, 3)  # names without quotes
    conv_op(s, 0); conv_path(s, "/docs"); conv_answer(s, 0)
    conv_op(s, 1); conv_path(s, "/docs/a b.txt"); conv_answer(s, 0)
    conv_op(s, 8); conv_path(s, "/docs/a b.txt"); conv_path(s, "/docs/c d.txt"); conv_answer(s, 0)
    seeds["names_without_quotes"] = s
    # Found by a campaign: firmware without quoted names, a listing of
    # "\x0Bc\x1A\x1ANF/..", which the library refuses for its control bytes
    # (the listing kept), then a listing, changes and a write.
    seeds["control_bytes_in_a_name"] = base64.b64decode(
        "C2MaGk5GLy4uAAFcCS9jIGQAQQUALm5uZKlvXClhIG8cQAAvXCAvZBlcKWMgXHgACgAD")
    return seeds


# ---- text seeds ----
def dir_line_seeds():
    t = packed(2024, 3, 15, 10, 20, 30)
    def line(name, size, attr, a=t, b=t, c=t):
        return b"%s\t%d\t%d\t%d\t%d\t%d" % (name, size, attr, a, b, c)
    return {
        "root_listing": b"\r\n".join([line(b"config", 0, 16), line(b"hidden.sys", 11, 35), line(b"logs", 0, 16),
                                      line(b"README.TXT", 76, 33)]) + b"\r\n",
        "no_dates": line(b"new.bin", 20000, 32, 0, 0, 0) + b"\n" + b"odd\t5\t32",
        "calendar_edges": b"\n".join([line(b"leap", 1, 32, packed(2024, 2, 29, 23, 59, 58)),
                                      line(b"first", 1, 32, packed(1980, 1, 1, 0, 0, 0)),
                                      line(b"last", 1, 32, packed(2043, 12, 31, 23, 59, 58)),
                                      line(b"sign_bit", 1, 32, packed(2044, 1, 1, 0, 0, 0)),
                                      line(b"feb29_2023", 1, 32, packed(2023, 2, 29, 0, 0, 0)),
                                      line(b"apr31", 1, 32, packed(2024, 4, 31, 0, 0, 0))]),
        "bad_numbers": b"a\t-1\t255\t+0\t 0042\t-0\nb\t2147483648\t32\nc\t 7\t-2147483648\t\t\t\nd\tx\t1\n\t\t\t",
        "prompt_glued": line(b"last", 1, 32) + PROMPT,
        "long_name": b"a very long name " * 6 + b"\t1\t32\t1\t2\t3",
    }


def nftype_seeds():
    return {
        "small_file": b"day.log\t10\r\n0123456789" + PROMPT,
        "empty_file": b"empty.bin\t0\r\n" + PROMPT,
        "no_file": b"4:No file\r\n" + PROMPT,
        "negative_size": b"x\t-5\r\n" + PROMPT,
        "absurd_size": b"x\t2000000000\r\nonly this",
        "cut_short": b"a b.txt\t5\r\nhe",
        "padded_size": b"x\t 00012\r\nline one\r\nab" + PROMPT,
        "more_fields": b"x\t3\tz\r\nabc" + PROMPT,
        "prompt_bytes_in_data": b"\xab\xbb\t13\r\n" + PROMPT + b"\r" + PROMPT,
        "no_line_end": b"x\t4",
        "two_blocks": b"day.log\t5000\r\n" + bytes((i * 31 + 1 + i // 251) & 0xFF for i in range(5000)) + PROMPT,
    }


def write(target, seeds):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)  # inputs merged from campaigns stay beside these
    for name, data in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data.bytes() if isinstance(data, Script) else data)


def main():
    write("fuzz_link_reports", link_seeds())
    write("fuzz_terminal_output", terminal_seeds())
    write("fuzz_file_conversation", conversation_seeds())
    write("fuzz_dir_lines", dir_line_seeds())
    write("fuzz_nftype_header", nftype_seeds())
    return 0


if __name__ == "__main__":
    sys.exit(main())
