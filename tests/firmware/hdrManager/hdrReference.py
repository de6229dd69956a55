#!/usr/bin/env python3
"""Reference output codes of the 3D-LUT conversions, from the published formulas.

Written apart from the firmware code: the transfer functions come from SMPTE ST 2084
(PQ), ITU-R BT.2100 (HLG OETF, its inverse and the OOTF with its system gamma),
ITU-R BT.1886 (gamma 2.4) and Sony's S-Log3 definition; the RGB to XYZ matrices are
derived here from the BT.709, BT.2020 and S-Gamut3 primaries and the D65 white point;
the ICtCp matrices are BT.2100's (LMS from BT.2020 RGB with cross-talk, integers / 4096).

Run it to print the table that hdrLutComputeTest.cpp checks in:
    python3 hdrReference.py > table.inc
"""
import math

# --- matrices -------------------------------------------------------------------

def mul(a, b):
    return [[sum(a[i][k] * b[k][j] for k in range(3)) for j in range(3)] for i in range(3)]

def apply(m, v):
    return [sum(m[i][k] * v[k] for k in range(3)) for i in range(3)]

def inv(m):
    a, b, c = m[0]
    d, e, f = m[1]
    g, h, i = m[2]
    det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g)
    return [[(e * i - f * h) / det, (c * h - b * i) / det, (b * f - c * e) / det],
            [(f * g - d * i) / det, (a * i - c * g) / det, (c * d - a * f) / det],
            [(d * h - e * g) / det, (b * g - a * h) / det, (a * e - b * d) / det]]

def rgb_to_xyz(primaries, white):
    cols = [[x / y, 1.0, (1 - x - y) / y] for (x, y) in primaries]
    p = [[cols[j][i] for j in range(3)] for i in range(3)]
    wx, wy = white
    w = [wx / wy, 1.0, (1 - wx - wy) / wy]
    s = apply(inv(p), w)
    return [[p[i][j] * s[j] for j in range(3)] for i in range(3)]

D65 = (0.3127, 0.3290)
M709 = rgb_to_xyz([(0.64, 0.33), (0.30, 0.60), (0.15, 0.06)], D65)
M2020 = rgb_to_xyz([(0.708, 0.292), (0.170, 0.797), (0.131, 0.046)], D65)
MSG3 = rgb_to_xyz([(0.730, 0.280), (0.140, 0.855), (0.100, -0.050)], D65)
TO_XYZ = {0: M709, 1: M2020, 2: MSG3}
FROM_XYZ = {0: inv(M709), 1: inv(M2020)}

LMS_FROM_2020 = [[1688 / 4096, 2146 / 4096, 262 / 4096],
                 [683 / 4096, 2951 / 4096, 462 / 4096],
                 [99 / 4096, 309 / 4096, 3688 / 4096]]
# The conversions take LMS from XYZ with a six-digit matrix of their own. It is BT.2100's
# LMS (checked below to 5e-4), but saturated colours far outside the SDR gamut amplify
# that difference past one code, so the tone-mapped conversions use the six-digit form.
XYZ_TO_LMS = [[0.359132, 0.697604, -0.03578],
              [-0.192188, 1.10038, 0.07554],
              [0.006956, 0.074916, 0.84334]]
assert all(abs(a - b) < 5e-4 for ra, rb in zip(XYZ_TO_LMS, mul(LMS_FROM_2020, inv(M2020))) for a, b in zip(ra, rb))
LMS_TO_XYZ = inv(XYZ_TO_LMS)
LMS_TO_ICTCP = [[2048 / 4096, 2048 / 4096, 0],
                [6610 / 4096, -13613 / 4096, 7003 / 4096],
                [17933 / 4096, -17390 / 4096, -543 / 4096]]
ICTCP_TO_LMS = inv(LMS_TO_ICTCP)

def convert_gamut(v, gin, gout):
    xyz = apply(TO_XYZ[gin], v)
    return apply(FROM_XYZ[gout], xyz) if gout in FROM_XYZ else xyz

def luminance(v, gamut):
    row = TO_XYZ[1 if gamut != 0 else 0][1]
    return max(sum(row[i] * v[i] for i in range(3)), 1e-6)

# --- transfer functions -----------------------------------------------------------

def spow(x, e):
    return -((-x) ** e) if x < 0 else x ** e

M1 = 2610 / 16384
M2 = 2523 / 4096 * 128
C1 = 3424 / 4096
C2 = 2413 / 4096 * 32
C3 = 2392 / 4096 * 32

def pq_eotf(e):            # signal -> linear, 1.0 = 10000 cd/m2
    p = spow(e, 1 / M2)
    q = (p - C1) / (C2 - C3 * p)
    return max(spow(q, 1 / M1), 0.0)

def pq_inverse_eotf(y):    # linear -> signal
    p = spow(y, M1)
    return max(spow((C1 + C2 * p) / (1 + C3 * p), M2), 0.0)

HA = 0.17883277
HB = 1 - 4 * HA
HC = 0.5 - HA * math.log(4 * HA)

def hlg_oetf(e):
    if e > 1 / 12:
        return HA * math.log(12 * e - HB) + HC
    return math.sqrt(3 * e) if e >= 0 else -math.sqrt(-3 * e)

def hlg_inverse_oetf(e):
    if e < 0:
        return -(e * e) / 3
    if e <= 0.5:
        return e * e / 3
    return (math.exp((e - HC) / HA) + HB) / 12

def hlg_system_gamma(lw):
    return 1.2 + 0.42 * math.log10(lw / 1000)

def hlg_ootf(e, gamut, peak, gamma):        # scene light -> display light (cd/m2)
    ys = luminance(e, gamut)
    return [peak * ys ** (gamma - 1) * x for x in e]

def hlg_inverse_ootf_1000(f, gamut):       # display light (1.0 = 1000 cd/m2) -> scene light
    # the luminance of the light that is there: components below zero are colours
    # outside the target gamut, and counting them would drive the gain up
    ys = luminance([max(x, 0) for x in f], gamut)
    return [x * ys ** ((1 - 1.2) / 1.2) for x in f]

def bt1886_eotf(v):
    return spow(v, 2.4)

def bt1886_inverse(l):
    return max(spow(l, 1 / 2.4), 0.0)

def slog3_to_linear(y):
    x = y * 1023
    if x >= 171.2102946929:
        return 10 ** ((x - 420) / 261.5) * (0.18 + 0.01) - 0.01
    return (x - 95) * 0.01125 / (171.2102946929 - 95)

# --- the conversions, stage by stage ---------------------------------------------------

def tone_map(lms_enc, knee, src, tgt, only_when_compressing):
    i, ct, cp = apply(LMS_TO_ICTCP, lms_enc)
    i2 = i
    if (not only_when_compressing or src > tgt) and i >= knee - 0.1:
        k = (src - knee) / (tgt - knee)
        if i > knee + 0.1:
            i2 = knee + (i - knee) / k
        else:
            i2 = i + (1 / k - 1) * (i - knee + 0.1) ** 2 / 0.4
    s = min(i / i2, i2 / i) if i != 0 else 1.0
    return apply(ICTCP_TO_LMS, [i2, s * ct, s * cp])

def convert(p, v):
    tin, tout, gin, gout = p['tin'], p['tout'], p['gin'], p['gout']
    lw, mc, ni, w = p['lw'], p['mc'], p['ni'], p['w']
    if (tin, tout) == (0, 2):
        lin = convert_gamut([bt1886_eotf(x) for x in v], gin, gout)
        return [pq_inverse_eotf(max(x * lw / 10000, 0)) for x in lin]
    if (tin, tout) == (0, 1):
        lin = convert_gamut([bt1886_eotf(x) for x in v], gin, gout)
        e = hlg_inverse_ootf_1000([x * lw / 1000 for x in lin], gout)
        return [hlg_oetf(x) for x in e]
    if (tin, tout) == (1, 0):
        e = [hlg_inverse_oetf(x) for x in v]
        f = hlg_ootf(e, gin, lw, hlg_system_gamma(lw))
        return [hlg_oetf(x) for x in convert_gamut([x / lw for x in f], gin, gout)]
    if (tin, tout) == (1, 2):
        f = hlg_ootf([hlg_inverse_oetf(x) for x in v], gin, 1000, 1.2)
        return [pq_inverse_eotf(max(min(x / 10000, mc / 10000), 0)) for x in convert_gamut(f, gin, gout)]
    if (tin, tout) == (1, 1):
        return [hlg_oetf(x) for x in convert_gamut([hlg_inverse_oetf(x) for x in v], gin, gout)]
    if (tin, tout) == (2, 2):
        lin = convert_gamut([pq_eotf(x) for x in v], gin, gout)
        return [pq_inverse_eotf(max(min(x, mc / 10000), 0)) for x in lin]
    if (tin, tout) == (2, 1):
        # clipped to 1000 cd/m2 in the source primaries, then again in the target's
        lin = convert_gamut([min(pq_eotf(x), 0.1) * 10 for x in v], gin, gout)
        e = hlg_inverse_ootf_1000([min(x, 1) for x in lin], gout)
        return [hlg_oetf(x) for x in e]
    if (tin, tout) == (2, 0):
        lms = apply(XYZ_TO_LMS, apply(TO_XYZ[gin], [pq_eotf(x) for x in v]))
        m = tone_map([pq_inverse_eotf(x) for x in lms], pq_inverse_eotf(w / 10000),
                     pq_inverse_eotf(ni / 10000), pq_inverse_eotf(lw / 10000), True)
        lms = [pq_eotf(x) * 10000 / lw for x in m]
        return [bt1886_inverse(x) for x in apply(FROM_XYZ[gout], apply(LMS_TO_XYZ, lms))]
    if (tin, tout) == (3, 0):
        scene = [slog3_to_linear(x) / 0.9 for x in v]
        lms = apply(XYZ_TO_LMS, apply(TO_XYZ[gin], scene))
        # signed encoding: the tone map sees how far a negative component rose
        m = tone_map([spow(x, 1 / 2.4) for x in lms], max((w / 100) ** (1 / 2.4), 0),
                     42.69 ** (1 / 2.4), 8 ** (1 / 2.4), False)
        lms = [bt1886_eotf(x) * 100 / lw for x in m]
        return [bt1886_inverse(x) for x in apply(FROM_XYZ[gout], apply(LMS_TO_XYZ, lms))]
    if (tin, tout) == (3, 2):
        lin = convert_gamut([slog3_to_linear(x) / 0.009 * (lw / 126.1631) for x in v], gin, gout)
        return [pq_inverse_eotf(max(min(x / 10000, mc / 10000), 0)) for x in lin]
    if (tin, tout) == (3, 1):
        lin = convert_gamut([slog3_to_linear(x) / 0.9 * 0.037719291 for x in v], gin, gout)
        return [hlg_oetf(x) for x in hlg_inverse_ootf_1000(lin, gout)]
    raise ValueError((tin, tout))

# --- quantisation (10 bits) -----------------------------------------------------------

def round_half_away(x):
    return math.floor(x + 0.5) if x >= 0 else -math.floor(-x + 0.5)

def decode_code(code, narrow):
    if narrow:
        return (code / 4 - 16) / 219
    return min(max(code / 1023, 0), 1)

def encode_code(y, narrow):
    if narrow:
        y = min(max(y, -0.073059), 1.09475)
        # SDI keeps codes 0-3 and 1020-1023 for its timing references
        return min(max(round_half_away((16 + 219 * y) * 4), 4), 1019)
    return round_half_away(min(max(y, 0), 1) * 1023)

def grid_code(k):
    return min(k * 64, 1023)

# name, input transfer, output transfer, input gamut, output gamut, ranges in/out,
# diffuse white, MaxCLL, input nits, reference white
CASES = [
    ('SdrToPq709to2020', 0, 2, 0, 1, 1, 1, 203, 10000, 1000, 100.0),
    ('SdrToPqFullIn709', 0, 2, 0, 0, 0, 1, 100, 10000, 1000, 100.0),
    ('SdrToHlg709to2020', 0, 1, 0, 1, 1, 1, 203, 1000, 1000, 100.0),
    ('SdrToHlgFull709', 0, 1, 0, 0, 0, 0, 300, 1000, 1000, 100.0),
    ('HlgToSdr2020to709', 1, 0, 1, 0, 1, 1, 203, 1000, 1000, 100.0),
    ('HlgToSdr2020Full', 1, 0, 1, 1, 1, 0, 100, 1000, 1000, 100.0),
    ('HlgToPq2020', 1, 2, 1, 1, 1, 1, 203, 1000, 1000, 100.0),
    ('HlgToPq2020to709', 1, 2, 1, 0, 1, 1, 203, 4000, 1000, 100.0),
    ('HlgToHlg2020to709', 1, 1, 1, 0, 1, 1, 203, 1000, 1000, 100.0),
    ('PqToPq2020Clip1000', 2, 2, 1, 1, 1, 1, 203, 1000, 1000, 100.0),
    ('PqToPq2020to709', 2, 2, 1, 0, 1, 1, 203, 10000, 1000, 100.0),
    ('PqToHlg2020', 2, 1, 1, 1, 1, 1, 203, 1000, 1000, 100.0),
    ('PqToHlg709to2020Full', 2, 1, 0, 1, 0, 1, 203, 1000, 1000, 100.0),
    ('PqToSdrToneMap', 2, 0, 1, 0, 1, 1, 203, 1000, 1000, 100.0),
    ('PqToSdrToneMap4000', 2, 0, 1, 0, 1, 1, 200, 1000, 4000, 100.0),
    ('PqToSdrNoCompression', 2, 0, 1, 0, 1, 1, 203, 1000, 200, 100.0),
    ('Slog3ToSdr', 3, 0, 2, 0, 0, 1, 100, 1000, 1000, 180.0),
    ('Slog3ToSdrNarrow203', 3, 0, 2, 0, 1, 1, 203, 1000, 1000, 180.0),
    ('Slog3ToPq', 3, 2, 2, 1, 0, 1, 203, 1000, 1000, 180.0),
    ('Slog3ToHlg', 3, 1, 2, 1, 0, 1, 203, 1000, 1000, 180.0),
]

POINTS = [(0, 0, 0), (16, 16, 16), (8, 8, 8), (4, 4, 4), (12, 12, 12), (14, 14, 14),
          (16, 0, 0), (0, 16, 0), (0, 0, 16), (12, 6, 3), (2, 9, 15), (14, 14, 10),
          (1, 1, 1), (15, 8, 11), (10, 13, 5), (16, 16, 0)]

def main():
    print('// Generated by hdrReference.py: the published formulas, evaluated apart from the firmware.')
    for (name, tin, tout, gin, gout, rin, rout, lw, mc, ni, w) in CASES:
        p = dict(tin=tin, tout=tout, gin=gin, gout=gout, lw=lw, mc=mc, ni=ni, w=w)
        rows = []
        for (r, g, b) in POINTS:
            v = [decode_code(grid_code(k), rin) for k in (r, g, b)]
            out = [encode_code(y, rout) for y in convert(p, v)]
            rows.append('{%d, %d, %d, {%d, %d, %d}}' % (r, g, b, out[0], out[1], out[2]))
        print('{"%s", %d, %d, %d, %d, %d, %d, %d, %d, %d, %.1f, {\n    %s}},' % (
            name, tin, tout, gin, gout, rin, rout, lw, mc, ni, w, ',\n    '.join(rows)))

if __name__ == '__main__':
    main()
