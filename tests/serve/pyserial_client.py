"""pySerial's rfc2217:// client against a served port whose peer loops data back.

Usage: pyserial_client.py rfc2217://HOST:PORT
Prints one line per failed check and exits 1 if any failed.
"""
import sys
import time

import serial

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what, flush=True)


def wait_for(predicate, seconds=5.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def main(url):
    port = serial.serial_for_url(url, baudrate=9600, timeout=2)

    # Each setting is checked by pySerial against the server's answer: a mismatch raises.
    for baud, size, parity, stop in [(115200, 7, serial.PARITY_EVEN, serial.STOPBITS_TWO),
                                     (57600, 6, serial.PARITY_ODD, serial.STOPBITS_ONE),
                                     (19200, 5, serial.PARITY_MARK, serial.STOPBITS_ONE),
                                     (38400, 8, serial.PARITY_SPACE, serial.STOPBITS_TWO),
                                     (115200, 8, serial.PARITY_NONE, serial.STOPBITS_ONE)]:
        try:
            port.baudrate = baud
            port.bytesize = size
            port.parity = parity
            port.stopbits = stop
        except (ValueError, serial.SerialException) as error:
            check(False, "settings %d %d%s%s: %s" % (baud, size, parity, stop, error))
        check((port.baudrate, port.bytesize, port.parity, port.stopbits) ==
              (baud, size, parity, stop), "settings read back for %d" % baud)

    # The UART loops RTS to CTS; the server notifies the change.
    for level in (False, True, False, True):
        port.rts = level
        check(wait_for(lambda: port.cts == level), "CTS did not follow RTS=%s" % level)
    for level in (False, True):
        try:
            port.dtr = level
        except (ValueError, serial.SerialException) as error:
            check(False, "DTR=%s: %s" % (level, error))
    for name in ("dsr", "ri", "cd"):
        check(getattr(port, name) in (False, True), name + " unreadable")

    port.send_break(0.1)
    port.break_condition = True
    port.break_condition = False

    # Every byte value, echoed by the peer.
    data = bytes(range(256)) * 8
    port.reset_input_buffer()
    port.reset_output_buffer()
    port.write(data)
    echoed = port.read(len(data))
    check(echoed == data, "echo of every byte value: %d of %d bytes, first difference at %s" % (
        len(echoed), len(data),
        next((i for i, (a, b) in enumerate(zip(echoed, data)) if a != b), len(echoed))))

    # Buffer resets: what was echoed but not read is gone after reset_input_buffer.
    port.write(b"stale")
    time.sleep(0.5)
    port.reset_input_buffer()
    port.write(b"fresh")
    check(port.read(5) == b"fresh", "input buffer reset left stale data")

    # A read with nothing to come returns empty once its time-out has passed.
    port.timeout = 0.3
    started = time.monotonic()
    check(port.read(10) == b"", "read with nothing to read returned data")
    check(time.monotonic() - started < 5, "read time-out not honoured")

    # The port has one handle: a second client is refused.
    try:
        other = serial.serial_for_url(url, timeout=1)
        other.close()
        check(False, "a second client was accepted")
    except (serial.SerialException, OSError):
        pass  # the server closes at once: pySerial reports a broken connection

    port.close()

    # Reconnecting at once is served, and a client that polls the modem lines is answered.
    polled = serial.serial_for_url(url + "?poll_modem", timeout=1)
    for level in (False, True):
        polled.rts = level
        check(wait_for(lambda: polled.cts == level), "polled CTS did not follow RTS=%s" % level)
    polled.write(b"again")
    check(polled.read(5) == b"again", "no echo after reconnecting")
    polled.close()


if __name__ == "__main__":
    main(sys.argv[1])
    sys.exit(1 if failures else 0)
