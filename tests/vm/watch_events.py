"""Inside the virtual machine: zqkapi.events() prints "+ PATH SERIAL" for
each unit that arrives and "- PATH SERIAL" for each that leaves, after a
line "watching"; it ends when the unit SERIAL has left (exit 0) or after
SECONDS without an event (exit 1).
    python3 watch_events.py SERIAL SECONDS"""

import sys

import zqkapi


def main(serial: str, seconds: float) -> int:
    with zqkapi.events(timeout=seconds) as stream:
        print("watching", flush=True)
        for event in stream:
            print("+" if event.arrived else "-", event.path, event.serial, flush=True)
            if not event.arrived and event.serial == serial:
                return 0
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], float(sys.argv[2])))
