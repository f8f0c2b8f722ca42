#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus (fuzz/corpus/): one small program per
subject in the fuzz target's input format, each a starting point that already
reaches the interesting paths (refusals, roll-overs, a clock stepping back, a
failing clock). Run it again after changing the input format."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
TOKEN, SLIDING, FIXED, LEAKY, ENGINE = range(5)
START_2023 = 0  # start-time choice: 1'700'000'000'000 ms
# FuzzInput::f64 table indexes and FuzzInput::window_u64 table indexes.
F = {0.0: 0, 1.0: 2, 0.5: 4, 2.7: 5, 3.0: 6, 10.0: 7, -5.0: 9, 1e30: 12, 'inf': 17, 'nan': 19}
W = {0: 0, 1: 1, 2: 2, 3: 3, 10: 5, 1000: 6, 60000: 7, 'max': 9}


def check(key_choice=1):
    return bytes([8, key_choice])


def forward(ms):
    return bytes([0, ms])


def backward(ms):
    return bytes([2, ms])


def jump(ms):
    return bytes([1]) + struct.pack('>Q', ms)


def fail_once(after):
    return bytes([5, after])


def engine_check(identity, ip_choice, start_now=True):
    op = 8 | (1 if identity is not None else 0) | (2 if start_now else 0)
    out = bytes([op])
    if identity is not None:
        out += bytes([identity])
    out += bytes([ip_choice, 0])  # ip, empty route
    if not start_now:
        out += struct.pack('>Q', 0)
    return out


def seeds():
    burst = check() * 4
    yield 'token_bucket', bytes([TOKEN, START_2023, F[3.0], F[1.0]]) + burst + forward(250) + \
        check() + forward(250) + backward(200) + check() + jump(5000) + burst
    yield 'token_bucket_nan', bytes([TOKEN, START_2023, F['nan'], F[10.0]]) + burst
    yield 'sliding_window', bytes([SLIDING, START_2023, W[1000], W[3]]) + burst + \
        forward(250) + check() + jump(1000) + burst + backward(100) + burst
    yield 'fixed_window', bytes([FIXED, START_2023, W[1000], W[2]]) + burst + jump(999) + \
        check() + forward(1) + burst + backward(50) + burst
    yield 'leaky_bucket', bytes([LEAKY, START_2023, F[2.7], F[0.5]]) + burst + \
        jump(1500) + burst + fail_once(1) + check() + check()
    yield 'keys', bytes([TOKEN, START_2023, F[1.0], F[0.0]]) + b''.join(
        check(k) for k in range(8)) + bytes([8, 6, 5]) + b'\xff\xfe\x00ab'
    for name, algorithm in (('engine_token', 0), ('engine_sliding', 1), ('engine_fixed', 2),
                            ('engine_leaky', 3)):
        config = bytes([ENGINE, START_2023, algorithm, 0, 1, 0, F[2.7], F[1.0]])
        config += struct.pack('>Q', 0) * 2 + bytes([0])
        config += struct.pack('>Q', 60000) + bytes([0])
        yield name, config + engine_check(None, 1) * 4 + engine_check(0, 1) * 3 + \
            engine_check(None, 5, start_now=False) + fail_once(1) + engine_check(None, 1) + \
            engine_check(None, 1)
    yield 'engine_shadow', bytes([ENGINE, START_2023, 0, 1, 0, F[1.0], F[0.0]]) + \
        bytes(17) + bytes([0]) + engine_check(None, 1) * 3
    yield 'engine_disabled', bytes([ENGINE, START_2023, 1, 2, 1, 1, F[-5.0], F['inf']]) + \
        bytes(17) + bytes([0]) + engine_check(2, 1) * 3


def main():
    corpus = os.path.join(HERE, 'corpus')
    os.makedirs(corpus, exist_ok=True)
    for name, data in seeds():
        # Subjects 0-4 keep every key; 5-9 are the same subjects with reclaiming
        # stores (and a forward-only clock).
        for suffix, offset in (('', 0), ('_reclaiming', 5)):
            with open(os.path.join(corpus, name + suffix), 'wb') as f:
                f.write(bytes([data[0] + offset]) + data[1:])


if __name__ == '__main__':
    main()
