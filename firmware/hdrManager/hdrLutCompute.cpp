/*
 * 3D-LUT computation: for every point of an N x N x N grid of input codes,
 * decode the input signal, convert the gamut through CIE XYZ, adapt the light
 * level and encode the result with the output transfer function and range.
 * Double precision throughout; no device, file or log access.
 */
#include "hdrManager/hdrManager.h"

#include <cmath>
#include <cstddef>

namespace {

typedef double mat3_t[3][3];

struct rgb_t {
    double c[3];
};

/* SMPTE ST 2084 (PQ); 1.0 is 10,000 cd/m2. */
const double PQ_M1 = 0.1593017578125;
const double PQ_M1_INV = 6.277394636015326;
const double PQ_M2 = 78.84375;
const double PQ_M2_INV = 0.012683313515655966;
const double PQ_C1 = 0.8359375;
const double PQ_C2 = 18.8515625;
const double PQ_C3 = 18.6875;

/* ITU-R BT.2100 HLG. */
const double HLG_A = 0.17883277;
const double HLG_B = 0.28466892;
const double HLG_C = 0.55991073;
const double HLG_OETF_KNEE = 0.08333333;
const double HLG_INVERSE_OOTF_EXPONENT = -0.16666666666666663;
const double HLG_OOTF_1000_EXPONENT = 0.19999999999999996; /* system gamma 1.2 minus 1 */

/* Sony S-Log3. */
const double SLOG3_BREAK = 0.16736099187966763;
const double SLOG3_LINEAR_SLOPE = 0.00014761785196256547;

const double SDR_GAMMA = 2.4;
const double SDR_GAMMA_INV = 0.4166666666666667;

const double LUMA_709[3] = {0.2126, 0.7152, 0.0722};
const double LUMA_2020[3] = {0.2627, 0.678, 0.0593};
const double LUMA_FLOOR = 1e-6;

/* Normalised output clamps of narrow-range codes (codes 0 and 1023 at 10 bits). */
const double NARROW_MIN = -0.073059;
const double NARROW_MAX = 1.09475;
/* Narrow-range codes stay out of the lowest and highest 2^(B-8) codes, which SDI
 * keeps for its timing references (0-3 and 1020-1023 at 10 bits). */
const int SDI_RESERVED_SHIFT = 8;

/* S-Log3 tone map: source and target peaks encoded with the 1/2.4 power. */
const double SLOG3_TONEMAP_SOURCE_PEAK = 4.778620749107673;
const double SLOG3_TONEMAP_TARGET_PEAK = 2.378414230005442;

const mat3_t BT709_TO_XYZ = {
    {0.41239079935209183, 0.35758433935065836, 0.18048078834892128},
    {0.21263900595911467, 0.7151686787013167, 0.07219231533956852},
    {0.019330818742886696, 0.11919478002194234, 0.9505321519950496},
};
const mat3_t XYZ_TO_BT709 = {
    {3.240969941365863, -1.5373831771483721, -0.4986107602101327},
    {-0.9692436366271162, 1.875967501789674, 0.04155505745045048},
    {0.05563007990499231, -0.2039769593920314, 1.0569715145232688},
};
const mat3_t BT2020_TO_XYZ = {
    {0.6369580479834588, 0.14461690392958423, 0.1688809751386285},
    {0.26270021190689885, 0.6779980716331139, 0.059301716459987074},
    {0.0, 0.028072693215448422, 1.0609850575444297},
};
const mat3_t XYZ_TO_BT2020 = {
    {1.7166511891819214, -0.35567078477619696, -0.2533662815121908},
    {-0.6666843519343478, 1.6164812367175236, 0.015768545826975323},
    {0.01763985755530705, -0.04277061352016206, 0.9421031213803763},
};
const mat3_t SGAMUT3_TO_XYZ = {
    {0.7064827132, 0.1288010498, 0.1151721641},
    {0.2709796708, 0.7866064112, -0.057586082},
    {-0.0096778454, 0.0046000375, 1.0941355587},
};
const mat3_t BT709_TO_BT2020 = {
    {0.6274, 0.3293, 0.0433},
    {0.0691, 0.9195, 0.0114},
    {0.0164, 0.088, 0.8956},
};
const mat3_t BT2020_TO_BT709 = {
    {1.6605112, -0.5877106, -0.0728006},
    {-0.1245614, 1.1329605, -0.0083991},
    {-0.0181677, -0.1005606, 1.1187283},
};
const mat3_t XYZ_TO_LMS = {
    {0.359132, 0.697604, -0.03578},
    {-0.192188, 1.10038, 0.07554},
    {0.006956, 0.074916, 0.84334},
};
const mat3_t LMS_TO_XYZ = {
    {2.070508, -1.326704, 0.206681},
    {0.365025, 0.6804585, -0.0454636},
    {-0.049504, -0.049504, 1.1880953},
};
const mat3_t LMS_TO_ICTCP = {
    {0.5, 0.5, 0.0},
    {1.61376953125, -3.323486328125, 1.709716796875},
    {4.378173828125, -4.24560546875, -0.132568359375},
};
const mat3_t ICTCP_TO_LMS = {
    {1, 0.008609037037932756, 0.11102962500302596},
    {1, -0.008609037037932756, -0.11102962500302596},
    {1, 0.5600313357106791, -0.32062717498731885},
};

rgb_t apply(const mat3_t m, const rgb_t &v)
{
    rgb_t out;
    for (int row = 0; row < 3; row++)
        out.c[row] = m[row][0] * v.c[0] + m[row][1] * v.c[1] + m[row][2] * v.c[2];
    return out;
}

template <typename F> rgb_t each(const rgb_t &v, F f)
{
    rgb_t out;
    for (int i = 0; i < 3; i++)
        out.c[i] = f(v.c[i]);
    return out;
}

rgb_t scale(const rgb_t &v, double factor)
{
    return each(v, [factor](double x) { return x * factor; });
}

/* x^e for x >= 0, -(-x)^e below: keeps sub-black values of narrow inputs. */
double signedPow(double x, double e)
{
    return x < 0 ? -std::pow(-x, e) : std::pow(x, e);
}

double sdrDecode(double v)
{
    return signedPow(v, SDR_GAMMA);
}

double sdrEncode(double l)
{
    return std::fmax(signedPow(l, SDR_GAMMA_INV), 0.0);
}

double hlgInverseOetf(double e)
{
    if (e < 0)
        return -(e * e) / 3.0;
    if (e <= 0.5)
        return e * e / 3.0;
    return (std::exp((e - HLG_C) / HLG_A) + HLG_B) / 12.0;
}

double hlgOetf(double e)
{
    if (e > HLG_OETF_KNEE)
        return HLG_A * std::log(12.0 * e - HLG_B) + HLG_C;
    return e >= 0 ? std::sqrt(3.0 * e) : -std::sqrt(-3.0 * e);
}

double pqDecode(double e)
{
    double p = signedPow(e, PQ_M2_INV);
    double q = (p - PQ_C1) / (PQ_C2 - PQ_C3 * p);
    double y = q >= 0 ? std::pow(q, PQ_M1_INV) : -std::pow(-q, PQ_M1_INV);
    return std::fmax(y, 0.0);
}

double pqEncode(double y)
{
    double p = signedPow(y, PQ_M1);
    double q = (PQ_C1 + PQ_C2 * p) / (1.0 + PQ_C3 * p);
    double e = q >= 0 ? std::pow(q, PQ_M2) : -std::pow(-q, PQ_M2);
    return std::fmax(e, 0.0);
}

double slog3Decode(double y)
{
    if (y >= SLOG3_BREAK)
        return 0.19 * std::pow(10.0, (1023.0 * y - 420.0) / 261.5) - 0.01;
    return (1023.0 * y - 95.0) * SLOG3_LINEAR_SLOPE;
}

rgb_t toXyz(const rgb_t &v, int gin, int gout)
{
    switch (gin) {
    case Rec_709_601:
        if (gout == Rec_2020)
            return apply(BT2020_TO_XYZ, apply(BT709_TO_BT2020, v));
        return apply(BT709_TO_XYZ, v);
    case Rec_2020:
        if (gout == Rec_709_601)
            return apply(BT709_TO_XYZ, apply(BT2020_TO_BT709, v));
        return apply(BT2020_TO_XYZ, v);
    case S_Gamut3:
        return apply(SGAMUT3_TO_XYZ, v);
    default:
        return v;
    }
}

rgb_t fromXyz(const rgb_t &v, int gout)
{
    switch (gout) {
    case Rec_709_601:
        return apply(XYZ_TO_BT709, v);
    case Rec_2020:
        return apply(XYZ_TO_BT2020, v);
    default:
        return v;
    }
}

rgb_t convertGamut(const rgb_t &v, int gin, int gout)
{
    return fromXyz(toXyz(v, gin, gout), gout);
}

double luma(const rgb_t &v, int gamut)
{
    const double *w = gamut != Rec_709_601 ? LUMA_2020 : LUMA_709;
    return std::fmax(w[0] * v.c[0] + w[1] * v.c[1] + w[2] * v.c[2], LUMA_FLOOR);
}

/*
 * Display light F to scene light E for a 1000 cd/m2 HLG display. The gain
 * follows the light that is there: a component pushed below zero by a gamut
 * conversion is a colour outside the target gamut, not negative light, and
 * counting it would drive the luminance to the floor and the gain up tenfold,
 * so that brighter inputs came out darker.
 */
rgb_t hlgInverseOotf(const rgb_t &f, int gamut)
{
    rgb_t light = each(f, [](double x) { return std::fmax(x, 0.0); });
    return scale(f, signedPow(luma(light, gamut), HLG_INVERSE_OOTF_EXPONENT));
}

/* Clip linear light (1.0 = 10,000 cd/m2) to [0, peak] and encode it with PQ. */
rgb_t clipAndPqEncode(const rgb_t &v, double peak)
{
    return each(v, [peak](double x) { return pqEncode(std::fmax(std::fmin(x, peak), 0.0)); });
}

/*
 * Compresses the intensity of encoded L'M'S' values above a knee, from the
 * source peak to the target peak, and scales the chroma with it.
 */
struct toneMap_t {
    double knee;
    double sourcePeak;
    double targetPeak;
    bool requireCompression; /* only map when the source peak exceeds the target peak */
};

rgb_t toneMapIctcp(const rgb_t &lmsEncoded, const toneMap_t &tm)
{
    rgb_t ictcp = apply(LMS_TO_ICTCP, lmsEncoded);
    double i = ictcp.c[0];
    double mapped = i;
    /*
     * The slope k divides by (targetPeak - knee) and (sourcePeak - knee): a
     * target at or below the knee (diffuse white under the reference white) or
     * a source peak at the knee would invert the highlights or divide by zero.
     * The map is undefined there and is left out.
     */
    bool defined = tm.targetPeak > tm.knee && tm.sourcePeak > tm.knee;
    bool wanted = !tm.requireCompression || tm.sourcePeak > tm.targetPeak;
    if (defined && wanted && i >= tm.knee - 0.1) {
        double k = (tm.sourcePeak - tm.knee) / (tm.targetPeak - tm.knee);
        if (i > tm.knee + 0.1) {
            mapped = tm.knee + (i - tm.knee) / k;
        } else {
            double d = i - tm.knee + 0.1;
            mapped = i + (1.0 / k - 1.0) * d * d / 0.4;
        }
    }
    double s = 1.0;
    if (i != 0) {
        /* An intensity mapped to zero or across zero takes its chroma with it. */
        s = (mapped == 0 || (mapped < 0) != (i < 0)) ? 0.0 : std::fmin(i / mapped, mapped / i);
    }
    ictcp.c[0] = mapped;
    ictcp.c[1] *= s;
    ictcp.c[2] *= s;
    return apply(ICTCP_TO_LMS, ictcp);
}

rgb_t sdrToPq(const hdr3DLutParams_t &p, const rgb_t &in)
{
    rgb_t v = convertGamut(each(in, sdrDecode), p.inputColorGamut, p.outputColorGamut);
    double lw = p.outputDiffuseWhite;
    return each(v, [lw](double x) { return pqEncode(std::fmax(lw * x / 10000.0, 0.0)); });
}

rgb_t sdrToHlg(const hdr3DLutParams_t &p, const rgb_t &in)
{
    rgb_t v = convertGamut(each(in, sdrDecode), p.inputColorGamut, p.outputColorGamut);
    rgb_t f = scale(v, p.outputDiffuseWhite / 1000.0);
    return each(hlgInverseOotf(f, p.outputColorGamut), hlgOetf);
}

rgb_t hlgToSdr(const hdr3DLutParams_t &p, const rgb_t &in)
{
    rgb_t e = each(in, hlgInverseOetf);
    double lw = p.outputDiffuseWhite;
    double gamma = 1.2 + 0.42 * std::log10(lw / 1000.0);
    rgb_t f = scale(e, lw * signedPow(luma(e, p.inputColorGamut), gamma - 1.0));
    rgb_t v = convertGamut(scale(f, 1.0 / lw), p.inputColorGamut, p.outputColorGamut);
    return each(v, hlgOetf);
}

rgb_t hlgToPq(const hdr3DLutParams_t &p, const rgb_t &in)
{
    rgb_t e = each(in, hlgInverseOetf);
    rgb_t f = scale(e, 1000.0 * signedPow(luma(e, p.inputColorGamut), HLG_OOTF_1000_EXPONENT));
    rgb_t v = convertGamut(f, p.inputColorGamut, p.outputColorGamut);
    return clipAndPqEncode(scale(v, 1.0 / 10000.0), p.outputMaxCll / 10000.0);
}

rgb_t hlgToHlg(const hdr3DLutParams_t &p, const rgb_t &in)
{
    rgb_t v = convertGamut(each(in, hlgInverseOetf), p.inputColorGamut, p.outputColorGamut);
    return each(v, hlgOetf);
}

rgb_t pqToPq(const hdr3DLutParams_t &p, const rgb_t &in)
{
    rgb_t v = convertGamut(each(in, pqDecode), p.inputColorGamut, p.outputColorGamut);
    return clipAndPqEncode(v, p.outputMaxCll / 10000.0);
}

/*
 * The 1000 cd/m2 clip comes before the gamut conversion: clipped afterwards, a
 * channel held at the peak would be overtaken by the neighbours that the
 * conversion feeds from it, and the luminance-driven gain would darken it as
 * its own input rose. Clipped again after, for targets narrower than the source.
 */
rgb_t pqToHlg(const hdr3DLutParams_t &p, const rgb_t &in)
{
    rgb_t clipped = each(in, [](double e) { return std::fmin(pqDecode(e), 0.1) * 10.0; });
    rgb_t v = convertGamut(clipped, p.inputColorGamut, p.outputColorGamut);
    rgb_t f = each(v, [](double x) { return std::fmin(x, 1.0); });
    return each(hlgInverseOotf(f, p.outputColorGamut), hlgOetf);
}

/* Common tail of the tone-mapped SDR targets: from LMS light back to SDR codes. */
rgb_t lmsToSdr(const hdr3DLutParams_t &p, const rgb_t &lms)
{
    rgb_t xyz = apply(LMS_TO_XYZ, lms);
    return each(fromXyz(xyz, p.outputColorGamut), sdrEncode);
}

rgb_t pqToSdr(const hdr3DLutParams_t &p, const rgb_t &in)
{
    rgb_t lms = apply(XYZ_TO_LMS, toXyz(each(in, pqDecode), p.inputColorGamut, p.outputColorGamut));
    toneMap_t tm;
    tm.knee = pqEncode(p.inputReferenceWhite / 10000.0);
    tm.sourcePeak = pqEncode(p.inputNits / 10000.0);
    tm.targetPeak = pqEncode(p.outputDiffuseWhite / 10000.0);
    tm.requireCompression = true;
    rgb_t mapped = toneMapIctcp(each(lms, pqEncode), tm);
    rgb_t light = scale(each(mapped, pqDecode), 10000.0 / p.outputDiffuseWhite);
    return lmsToSdr(p, light);
}

rgb_t slog3ToSdr(const hdr3DLutParams_t &p, const rgb_t &in)
{
    rgb_t scene = each(in, [](double y) { return slog3Decode(y) / 0.9; });
    rgb_t lms = apply(XYZ_TO_LMS, toXyz(scene, p.inputColorGamut, p.outputColorGamut));
    toneMap_t tm;
    tm.knee = std::fmax(std::pow(p.inputReferenceWhite / 100.0, SDR_GAMMA_INV), 0.0);
    tm.sourcePeak = SLOG3_TONEMAP_SOURCE_PEAK;
    tm.targetPeak = SLOG3_TONEMAP_TARGET_PEAK;
    tm.requireCompression = false;
    /* Signed: clamping a negative L, M or S here would hide how far it rose,
     * and the other two would carry the output of that channel down. */
    rgb_t encoded = each(lms, [](double l) { return signedPow(l, SDR_GAMMA_INV); });
    rgb_t mapped = toneMapIctcp(encoded, tm);
    rgb_t light = scale(each(mapped, sdrDecode), 100.0 / p.outputDiffuseWhite);
    return lmsToSdr(p, light);
}

rgb_t slog3ToPq(const hdr3DLutParams_t &p, const rgb_t &in)
{
    double factor = p.outputDiffuseWhite / 126.1631;
    rgb_t v = each(in, [factor](double y) { return slog3Decode(y) / 0.009 * factor; });
    v = convertGamut(v, p.inputColorGamut, p.outputColorGamut);
    return clipAndPqEncode(scale(v, 1.0 / 10000.0), p.outputMaxCll / 10000.0);
}

rgb_t slog3ToHlg(const hdr3DLutParams_t &p, const rgb_t &in)
{
    rgb_t v = each(in, [](double y) { return slog3Decode(y) / 0.9 * 0.037719291; });
    v = convertGamut(v, p.inputColorGamut, p.outputColorGamut);
    return each(hlgInverseOotf(v, p.outputColorGamut), hlgOetf);
}

typedef rgb_t (*pipelineFn_t)(const hdr3DLutParams_t &, const rgb_t &);

struct pipelineRow_t {
    int inputTransfer;
    int outputTransfer;
    pipelineFn_t run;
};

const pipelineRow_t pipelines[] = {
    {SDR_TV, PQ, sdrToPq},    {SDR_TV, HLG, sdrToHlg}, {HLG, SDR_TV, hlgToSdr},   {HLG, PQ, hlgToPq},
    {HLG, HLG, hlgToHlg},     {PQ, PQ, pqToPq},        {PQ, HLG, pqToHlg},        {PQ, SDR_TV, pqToSdr},
    {SLog3, SDR_TV, slog3ToSdr}, {SLog3, PQ, slog3ToPq}, {SLog3, HLG, slog3ToHlg},
};

pipelineFn_t findPipeline(int inputTransfer, int outputTransfer)
{
    for (const pipelineRow_t &row : pipelines)
        if (row.inputTransfer == inputTransfer && row.outputTransfer == outputTransfer)
            return row.run;
    return nullptr;
}

double normalise(int code, int bitDepth, bool narrow)
{
    if (narrow)
        return (std::ldexp(code, 8 - bitDepth) - 16.0) / 219.0;
    double v = code / (std::ldexp(1.0, bitDepth) - 1.0);
    return std::fmin(std::fmax(v, 0.0), 1.0);
}

uint16_t quantise(double y, int bitDepth, bool narrow)
{
    double lo = narrow ? NARROW_MIN : 0.0;
    double hi = narrow ? NARROW_MAX : 1.0;
    /* Never let NaN or infinity reach the integer conversion. */
    if (std::isnan(y))
        y = lo;
    y = std::fmin(std::fmax(y, lo), hi);
    double code = narrow ? std::round((16.0 + 219.0 * y) * std::ldexp(1.0, bitDepth - 8))
                         : std::round(y * (std::ldexp(1.0, bitDepth) - 1.0));
    double bottom = 0.0;
    double top = std::fmin(std::ldexp(1.0, bitDepth), 65535.0);
    if (narrow) {
        bottom = std::fmax(std::ldexp(1.0, bitDepth - SDI_RESERVED_SHIFT), 1.0);
        top = std::ldexp(1.0, bitDepth) - 1.0 - bottom;
    }
    return (uint16_t)std::fmin(std::fmax(code, bottom), top);
}

} /* namespace */

int create3DLUT(const hdr3DLutParams_t *params, uint16_t *table)
{
    if (!params || !table)
        return 1;
    const hdr3DLutParams_t &p = *params;
    int n = p.gridSize;
    int bits = p.bitDepth;
    if (n < 1)
        return 0;
    if (bits < 1 || bits > 16)
        return 1;

    int maxCode = (1 << bits) - 1;
    /* A single-point grid has no step: its one point is code 0. */
    int step = n > 1 ? (1 << bits) / (n - 1) : 0;
    bool identity = p.inputTransferFunction == IDENTITY || p.outputTransferFunction == IDENTITY;
    bool narrowIn = p.inputRange == NARROW_RANGE;
    bool narrowOut = p.outputRange == NARROW_RANGE;
    pipelineFn_t run = findPipeline(p.inputTransferFunction, p.outputTransferFunction);
    int result = 0;

    uint16_t *entry = table;
    for (int bi = 0; bi < n; bi++) {
        for (int gi = 0; gi < n; gi++) {
            for (int ri = 0; ri < n; ri++, entry += 3) {
                int codes[3] = {ri * step, gi * step, bi * step};
                for (int &c : codes)
                    c = c > maxCode ? maxCode : c;
                if (identity) {
                    for (int i = 0; i < 3; i++)
                        entry[i] = (uint16_t)codes[i];
                    continue;
                }
                rgb_t in;
                for (int i = 0; i < 3; i++)
                    in.c[i] = normalise(codes[i], bits, narrowIn);
                rgb_t out = in;
                if (run)
                    out = run(p, in);
                else
                    result = 1;
                for (int i = 0; i < 3; i++)
                    entry[i] = quantise(out.c[i], bits, narrowOut);
            }
        }
    }
    return result;
}
