#!/usr/bin/env python3
"""Writes the seed corpus: a few short, readable scenarios per target, one
per port (the first byte picks the driver). Run from fuzz/; libFuzzer grows
the corpus from here."""
import os, struct

def op(kind, side):
    # The op byte a target maps onto the kind (see Scenario::Step).
    return {'requests': kind, 'phone': kind - 12, 'machine': kind}[side]

def seeds(side):
    s = {}
    A = lambda k: bytes([op(k, side)])
    if side in ('requests', 'machine'):
        s['read_after_push'] = A(4) + bytes([3, 0, 0, 0, 0]) + A(11) + bytes([12, 0]) + A(2) + bytes([7]) + A(9) + struct.pack('<H', 100)
        s['every_serial_code'] = b''.join(A(0) + bytes([i, 8, 8]) + bytes(range(8)) for i in range(43))
        s['direct_and_neither_codes'] = b''.join(A(1) + struct.pack('<I', 0x1B0000 | (f << 2) | m) + bytes([4, 9]) + b'\x01\x02\x03\x04' for f in (1, 7, 0x800) for m in range(4))
        s['wait_purge_cancel'] = A(5) + b'\x01\x00' + A(11) + b'\x05\x00' + A(6) + b'\x0f' + A(2) + b'\x0c' + A(7) + A(8) + A(10)
        s['write_and_close'] = A(3) + bytes([12]) + b'hello, phone' + A(8) + A(3) + bytes([5]) + bytes(16)
    if side in ('phone', 'machine'):
        s['packets_of_every_length'] = b''.join(A(13) + bytes([n]) for n in range(0, 40, 3))
        s['serial_state_lengths'] = b''.join(A(14) + bytes([n]) + bytes([0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x03, 0x00]) for n in (0, 1, 8, 9, 10, 11, 16))
        s['failures_on_each_pipe'] = b''.join(A(15) + bytes([p, f, h]) for p in range(3) for f in range(6) for h in (0, 1))
        s['stall_delay_short_babble'] = b''.join(A(16) + bytes([p, w, 7]) for p in range(3) for w in range(4)) + A(17) + b'\x00'
        s['sleep_then_unplug'] = A(12) + b'\x10\x00' + A(19) + b'\x00' + A(12) + b'\x08\x00' + A(18)
    if side == 'machine':
        s['pnp_queries'] = A(20) + A(21) + A(22) + A(11) + b'\x04\x00' + A(8) + A(23) + A(24) + b'\x01'
    return s

def finding_information_past_output_buffer():
    # SET_WAIT_MASK and PURGE with 4 bytes in and 0..5 bytes of output
    # buffer: Information must never exceed the buffer.
    return b''.join(bytes([0, c, 4, n, 1, 0, 0, 0]) for c in (16, 18) for n in range(6))

os.makedirs('../tests/faults/findings/requests', exist_ok=True)
for port, head in (('modem', 0), ('diag', 1)):
    with open(f'../tests/faults/findings/requests/information_past_output_buffer_{port}', 'wb') as f:
        f.write(bytes([head]) + finding_information_past_output_buffer())

# Bit 1 of the first byte: the hub completes power IRPs later (pending).
PENDING = ('sleep_then_unplug', 'pnp_queries')
for side in ('requests', 'phone', 'machine'):
    for name, body in seeds(side).items():
        for port, head in (('modem', 0), ('diag', 1)):
            with open(f'corpus/{side}/{name}_{port}', 'wb') as f:
                f.write(bytes([head]) + body)
            if name in PENDING:
                with open(f'corpus/{side}/{name}_power_pending_{port}', 'wb') as f:
                    f.write(bytes([head | 2]) + body)
