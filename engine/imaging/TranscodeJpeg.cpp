// JPEG to JPEG without a bitmap. Decoding a photograph and encoding it again spends
// most of its time on the inverse and forward transforms, colour conversion and
// resampling, all of which cancel out when the picture keeps its size, colour model
// and chroma sampling; only the quantisation changes. Then the coefficients are read,
// divided anew and written: a few MCU rows at a time where the file has a single scan,
// all of them, packed when they are many (see PackedCoefficients.h), where it is
// progressive. The page looks the same as through pixels, several times sooner.
// Full-resolution colour that the encoder would halve is halved among the coefficients
// too (see ChromaHalving.h). Any other change of sampling streams the rows from decoder
// to encoder in YCbCr, a few at a time: no colour conversion either way, and no whole
// picture in memory.
#include "ChromaHalving.h"
#include "Codecs.h"
#include "JpegMarkers.h"
#include "PackedCoefficients.h"
#include "Quantize.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <jerror.h>
#include <jpeglib.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace folimo::imaging {

namespace {

// Rows of coefficients handed from decoder to encoder a few at a time: the decoder's
// arrays are rings of kRingRows rows each, and the output rows are made as the encoder
// asks for them (see halveColour).
constexpr JDIMENSION kRingRows = 4;
// From this width on a row's blocks take more bits than the decoder may hold unread, so
// once the input is held back it cannot finish a row beyond the one it has begun.
constexpr JDIMENSION kStreamedColumns = 16;
// From this size on, the coefficients a progressive file must hold whole are held packed
// (see PackedCoefficients.h): below it, packing would cost more time than the memory is
// worth.
constexpr std::uint64_t kPackedFrom = 8 << 20;

// A component's rows go round in units of its vertical sampling factor: the rows of one
// MCU row, which the decoder and the encoder each ask for together.
struct Ring {
    JBLOCKARRAY rows = nullptr; // kRingRows units of them
    JDIMENSION factor = 1;      // rows a unit
    JDIMENSION blocks = 0;      // a row's, the MCUs' padding included
    JDIMENSION next = 0;        // units the decoder has begun
};

using AccessRows = JBLOCKARRAY (*)(j_common_ptr, jvirt_barray_ptr, JDIMENSION, JDIMENSION, boolean);

// Grouped by alignment: the tables first, flags last.
struct Stream {
    alignas(16) float lumaRatio[64] = {};
    alignas(16) float ratios[3][DCTSIZE2] = {}; // requantising in units as the encoder reads
    detail::ChromaHalver halvers[2];
    Ring rings[3];
    jvirt_barray_ptr* whole = nullptr; // the decoder's arrays when it holds them all
    jvirt_barray_ptr handles[3] = {};
    const JOCTET* cutEnd = nullptr; // the input's end while held back
    JBLOCKROW lumaRows[2] = {};
    JBLOCKROW chromaRows[2] = {};
    JBLOCKROW emptyRow = nullptr;
    AccessRows access = nullptr;        // the decoder's own
    AccessRows encoderAccess = nullptr; // the encoder's own
    boolean (*fill)(j_decompress_ptr) = nullptr;
    int outputs[3] = {}; // only their addresses matter: the encoder's handles
    int requested = 0;
    JDIMENSION wanted = 0; // the decoder's last row needed now
    JDIMENSION prepared = ~JDIMENSION(0);
    JDIMENSION requantized[3] = {}; // units done, plus one
    bool decoded = false;           // the decoder reached the end of the picture
    bool ready = false;
    bool lumaKept = false;
    bool kept[3] = {}; // the steps stay: nothing to requantise
};

// Plain data only: run() longjmps over nothing that has a destructor.
struct Job {
    std::jmp_buf jump;
    jpeg_error_mgr errors;
    bool warned = false;

    const JpegTranscode* settings = nullptr;
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    bool densityInInches = false;
    unsigned densityX = 1, densityY = 1;
    const std::string* profile = nullptr; // the file's own
    std::uint64_t coefficientBytes = 0;   // what holding them all takes
    detail::PackedArrays* packed = nullptr;

    jpeg_decompress_struct* source = nullptr;
    jpeg_compress_struct* target = nullptr;
    // The output, grown by doubling. Our own destination rather than jpeg_mem_dest,
    // which frees and replaces its buffer as it grows without telling the caller, so
    // that after an error nobody knows which buffer is still live.
    jpeg_destination_mgr destination;
    unsigned char* out = nullptr;
    std::size_t capacity = 0;
    std::size_t outSize = 0;

    Stream stream;
};

constexpr std::size_t kFirstOutput = 64 << 10;

Job& jobOf(j_compress_ptr cinfo) {
    return *static_cast<Job*>(cinfo->client_data);
}

void startOutput(j_compress_ptr cinfo) {
    Job& job = jobOf(cinfo);
    job.out = static_cast<unsigned char*>(std::malloc(kFirstOutput));
    if (!job.out)
        ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
    job.capacity = kFirstOutput;
    job.destination.next_output_byte = job.out;
    job.destination.free_in_buffer = job.capacity;
}

// Called when the buffer is full: all of it holds output.
boolean growOutput(j_compress_ptr cinfo) {
    Job& job = jobOf(cinfo);
    auto* grown = static_cast<unsigned char*>(std::realloc(job.out, job.capacity * 2));
    if (!grown)
        ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
    job.out = grown;
    job.destination.next_output_byte = grown + job.capacity;
    job.destination.free_in_buffer = job.capacity;
    job.capacity *= 2;
    return TRUE;
}

void endOutput(j_compress_ptr cinfo) {
    Job& job = jobOf(cinfo);
    job.outSize = job.capacity - job.destination.free_in_buffer;
}

void onError(j_common_ptr cinfo) {
    std::longjmp(static_cast<Job*>(cinfo->client_data)->jump, 1);
}

// Any warning (corrupt data, a premature end) sends the file the way through pixels,
// which reports or accepts it by the decoder's own rules.
void onMessage(j_common_ptr cinfo, int level) {
    if (level < 0)
        static_cast<Job*>(cinfo->client_data)->warned = true;
}

// Files whose samples are YCbCr or grey, as the encoder writes them.
bool codable(const jpeg_decompress_struct& source) {
    if (source.data_precision != 8)
        return false;
    return (source.jpeg_color_space == JCS_GRAYSCALE && source.num_components == 1) ||
           (source.jpeg_color_space == JCS_YCbCr && source.num_components == 3);
}

// Whether the file's chroma sampling is what encodeJpeg writes at this quality, so
// its coefficients can be kept.
bool samplingKept(const jpeg_decompress_struct& source, const JpegTranscode& settings) {
    if (source.num_components == 1 || settings.grey)
        return true; // only the luminance is kept, at its own resolution
    const int factor = jpegSubsamplesColour(settings.quality) ? 2 : 1;
    const jpeg_component_info* c = source.comp_info;
    return c[0].h_samp_factor == factor && c[0].v_samp_factor == factor &&
           c[1].h_samp_factor == 1 && c[1].v_samp_factor == 1 && c[2].h_samp_factor == 1 &&
           c[2].v_samp_factor == 1;
}

// Whether the file's colour is whole (4:4:4) where the encoder would halve it (4:2:0) at
// this quality: then the coefficients can be halved rather than the pixels.
bool colourHalved(const jpeg_decompress_struct& source, const JpegTranscode& settings) {
    if (source.num_components != 3 || settings.grey || !jpegSubsamplesColour(settings.quality))
        return false;
    for (int ci = 0; ci < 3; ++ci)
        if (source.comp_info[ci].h_samp_factor != 1 || source.comp_info[ci].v_samp_factor != 1)
            return false;
    return true;
}

// Whether the encoder's Huffman tables can code a block: AC values within 10 bits, and DC
// values whose differences stay within 11. libjpeg-turbo's encoder does not refuse larger
// ones but writes a corrupt stream, and a file with coarse steps or tables of its own can
// hold them once requantised to fine steps; such a file goes the way through pixels.
inline bool codableBlock(const JCOEF* coef) {
    if (coef[0] < -1024 || coef[0] > 1023)
        return false;
#ifdef __SSE2__
    const __m128i high = _mm_set1_epi16(1023);
    const __m128i low = _mm_set1_epi16(-1023);
    const __m128i notDc = _mm_set_epi16(-1, -1, -1, -1, -1, -1, -1, 0);
    __m128i beyond = _mm_setzero_si128();
    for (int k = 0; k < DCTSIZE2; k += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + k));
        __m128i out = _mm_or_si128(_mm_cmpgt_epi16(v, high), _mm_cmplt_epi16(v, low));
        beyond = _mm_or_si128(beyond, k == 0 ? _mm_and_si128(out, notDc) : out);
    }
    return _mm_movemask_epi8(beyond) == 0;
#else
    for (int k = 1; k < DCTSIZE2; ++k)
        if (coef[k] < -1023 || coef[k] > 1023)
            return false;
    return true;
#endif
}

void checkCodable(j_common_ptr cinfo, JBLOCKROW blocks, JDIMENSION count) {
    for (JDIMENSION x = 0; x < count; ++x)
        if (!codableBlock(blocks[x]))
            ERREXIT(cinfo, JERR_BAD_DCT_COEF);
}

// One block: each coefficient x old step / new step, rounded to the nearest.
inline void requantizeBlock(JCOEF* coef, const float* ratio) {
#ifdef __SSE2__
    // Eight coefficients at a time; the conversion rounds to the nearest, and the
    // packing back to 16 bits saturates.
    for (int k = 0; k < DCTSIZE2; k += 8) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coef + k));
        __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(v, v), 16);
        __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(v, v), 16);
        low = _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(low), _mm_loadu_ps(ratio + k)));
        high = _mm_cvtps_epi32(_mm_mul_ps(_mm_cvtepi32_ps(high), _mm_loadu_ps(ratio + k + 4)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(coef + k), _mm_packs_epi32(low, high));
    }
#else
    for (int k = 0; k < DCTSIZE2; ++k) {
        float v = std::clamp(float(coef[k]) * ratio[k], -32768.0f, 32767.0f);
        coef[k] = JCOEF(std::nearbyint(v));
    }
#endif
}

// Each coefficient's factor from the old steps to the new; true when the steps stay.
// The products stay below 2^31 (32767 x 65535), so they convert to int exactly.
bool stepRatios(const JQUANT_TBL& from, const JQUANT_TBL& to, float* ratio) {
    bool same = true;
    for (int k = 0; k < DCTSIZE2; ++k) {
        ratio[k] = float(from.quantval[k]) / float(to.quantval[k]);
        same = same && from.quantval[k] == to.quantval[k];
    }
    return same;
}

void requantize(jpeg_decompress_struct* source, jvirt_barray_ptr array, const JQUANT_TBL& from,
                const JQUANT_TBL& to, const jpeg_component_info& c) {
    alignas(16) float ratio[DCTSIZE2];
    const bool same = stepRatios(from, to, ratio);
    auto* common = reinterpret_cast<j_common_ptr>(source);
    for (JDIMENSION row = 0; row < c.height_in_blocks; ++row) {
        JBLOCKARRAY blocks =
            (*source->mem->access_virt_barray)(common, array, row, 1, same ? FALSE : TRUE);
        if (!same)
            for (JDIMENSION x = 0; x < c.width_in_blocks; ++x)
                requantizeBlock(blocks[0][x], ratio);
        checkCodable(common, blocks[0], c.width_in_blocks);
    }
}

// The resolution and profile as encodeJpeg writes them.
void writeHeader(Job* job) {
    jpeg_compress_struct* target = job->target;
    target->write_JFIF_header = TRUE;
    target->JFIF_major_version = 1;
    target->JFIF_minor_version = 1;
    target->density_unit = job->densityInInches ? 1 : 0;
    target->X_density = UINT16(job->densityX);
    target->Y_density = UINT16(job->densityY);
}

void writeProfile(Job* job) {
    // APP2 markers carry a profile in at most 255 pieces of 65519 bytes.
    const std::string& profile = *job->profile;
    jpeg_compress_struct* target = job->target;
    if (detail::iccProfileFits(profile, target->num_components == 1 ? "GRAY" : "RGB ") &&
        profile.size() <= 255 * std::size_t(65519))
        jpeg_write_icc_profile(target, reinterpret_cast<const JOCTET*>(profile.data()),
                               unsigned(profile.size()));
}

// The luminance takes the first table, the colour the second, as encodeJpeg has it.
void setQuality(jpeg_compress_struct* target, int quality) {
    jpeg_set_quality(target, quality, TRUE);
    for (int ci = 0; ci < target->num_components; ++ci)
        target->comp_info[ci].quant_tbl_no = ci == 0 ? 0 : 1;
}

// The output sampled as the input, grey where asked.
void keepSampling(Job* job) {
    jpeg_copy_critical_parameters(job->source, job->target);
    if (job->settings->grey && job->target->num_components == 3)
        jpeg_set_colorspace(job->target, JCS_GRAYSCALE);
    setQuality(job->target, job->settings->quality);
}

bool packs(const jpeg_decompress_struct& source, std::uint64_t coefficientBytes) {
    return jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&source)) &&
           coefficientBytes >= kPackedFrom;
}

jvirt_barray_ptr requestPacked(j_common_ptr cinfo, int, boolean, JDIMENSION blocks, JDIMENSION rows,
                               JDIMENSION maxAccess) {
    return static_cast<Job*>(cinfo->client_data)->packed->request(cinfo, blocks, rows, maxAccess);
}

// For the decoder, and for the encoder where it reads the decoder's arrays.
JBLOCKARRAY accessPacked(j_common_ptr cinfo, jvirt_barray_ptr array, JDIMENSION row,
                         JDIMENSION count, boolean writable) {
    Job* job = static_cast<Job*>(cinfo->client_data);
    if (!job->packed->owns(array))
        return job->stream.access(cinfo, array, row, count, writable);
    return job->packed->access(cinfo, array, row, count, writable != FALSE);
}

void packCoefficients(Job* job) {
    job->stream.access = job->source->mem->access_virt_barray;
    job->source->mem->request_virt_barray = requestPacked;
    job->source->mem->access_virt_barray = accessPacked;
    job->target->mem->access_virt_barray = accessPacked;
}

void requantizeAll(Job* job) {
    jpeg_decompress_struct* source = job->source;
    jpeg_compress_struct* target = job->target;
    jvirt_barray_ptr* coefficients = jpeg_read_coefficients(source);
    if (job->warned)
        return;
    keepSampling(job);
    for (int ci = 0; ci < target->num_components; ++ci)
        requantize(source, coefficients[ci], *source->comp_info[ci].quant_table,
                   *target->quant_tbl_ptrs[ci == 0 ? 0 : 1], source->comp_info[ci]);
    writeHeader(job);
    jpeg_write_coefficients(target, coefficients);
    writeProfile(job);
}

// The decoder's arrays, asked for in component order, become rings.
jvirt_barray_ptr requestRing(j_common_ptr cinfo, int pool, boolean, JDIMENSION blocks, JDIMENSION,
                             JDIMENSION factor) {
    Stream& stream = static_cast<Job*>(cinfo->client_data)->stream;
    if (stream.requested >= 3 || factor < 1 || factor > MAX_SAMP_FACTOR)
        ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
    Ring& ring = stream.rings[stream.requested++];
    ring.factor = factor;
    ring.blocks = blocks;
    ring.rows = (*cinfo->mem->alloc_barray)(cinfo, pool, blocks, kRingRows * factor);
    return reinterpret_cast<jvirt_barray_ptr>(&ring);
}

// The decoder begins a row. Blocks start zeroed, as the decoder's own arrays would give
// them; a row asked for again after a suspension keeps what it holds. Beyond the rows
// needed now, the input is held back, so that the decoder suspends within that row
// rather than run on over rows the encoder still reads.
JBLOCKARRAY accessRing(j_common_ptr cinfo, jvirt_barray_ptr array, JDIMENSION row, JDIMENSION count,
                       boolean writable) {
    auto* source = reinterpret_cast<j_decompress_ptr>(cinfo);
    Stream& stream = static_cast<Job*>(cinfo->client_data)->stream;
    Ring* ring = reinterpret_cast<Ring*>(array);
    if (ring < stream.rings || ring >= stream.rings + 3)
        return stream.access(cinfo, array, row, count, writable);
    // Units further on than this would reuse slots the encoder has yet to read.
    const JDIMENSION unit = row / ring->factor;
    if (count != ring->factor || row % ring->factor != 0 || unit + 1 < ring->next ||
        unit > stream.wanted + kRingRows - 2)
        ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
    JBLOCKARRAY slot = ring->rows + (unit % kRingRows) * ring->factor;
    if (unit == ring->next) {
        for (JDIMENSION i = 0; i < ring->factor; ++i)
            std::memset(slot[i], 0, ring->blocks * sizeof(JBLOCK));
        ring->next = unit + 1;
    }
    if (unit > stream.wanted && !stream.cutEnd) {
        stream.cutEnd = source->src->next_input_byte + source->src->bytes_in_buffer;
        source->src->bytes_in_buffer = 0;
    }
    return slot;
}

boolean fillOrSuspend(j_decompress_ptr source) {
    Stream& stream = static_cast<Job*>(source->client_data)->stream;
    return stream.cutEnd ? FALSE : stream.fill(source);
}

// Runs the decoder until each component's units up to `unit` are whole.
void decodeThrough(jpeg_decompress_struct* source, JDIMENSION unit) {
    Stream& stream = static_cast<Job*>(source->client_data)->stream;
    stream.wanted = unit;
    auto whole = [&] {
        for (int ci = 0; ci < source->num_components; ++ci)
            if (stream.rings[ci].next <= unit + 1)
                return false;
        return stream.requested == source->num_components;
    };
    while (!stream.decoded && !whole()) {
        if (!stream.cutEnd && stream.requested == source->num_components)
            ERREXIT(source, JERR_BAD_VIRTUAL_ACCESS); // suspended for no reason of ours
        if (stream.cutEnd) {
            source->src->bytes_in_buffer =
                std::size_t(stream.cutEnd - source->src->next_input_byte);
            stream.cutEnd = nullptr;
        }
        stream.decoded = jpeg_read_coefficients(source) != nullptr;
    }
}

// Rows [first, end) of a picture decoded whole into the rings, where they can be changed
// and held, one row of the decoder's arrays being within reach at a time.
void copyRows(jpeg_decompress_struct* source, JDIMENSION first, JDIMENSION end) {
    Stream& stream = static_cast<Job*>(source->client_data)->stream;
    for (int ci = 0; ci < 3; ++ci)
        for (JDIMENSION row = first; row < end; ++row)
            std::memcpy(stream.rings[ci].rows[row % kRingRows],
                        (*source->mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(source),
                                                           stream.whole[ci], row, 1, FALSE)[0],
                        source->comp_info[ci].width_in_blocks * sizeof(JBLOCK));
}

// The encoder's rows of MCU row `mcuRow`: the luminance requantised in its ring, the
// chroma halved from the two rows of blocks it covers.
void prepareRow(Job* job, JDIMENSION mcuRow) {
    jpeg_decompress_struct* source = job->source;
    Stream& stream = job->stream;
    if (mcuRow == stream.prepared)
        return;
    const JDIMENSION rows = source->comp_info[0].height_in_blocks;
    const JDIMENSION columns = source->comp_info[0].width_in_blocks;
    const JDIMENSION top = 2 * mcuRow;
    if (stream.whole)
        copyRows(source, top, std::min(top + 2, rows));
    else
        decodeThrough(source, std::min(top + 1, rows - 1));
    if (!stream.ready) { // the tables are known once the decoder has begun the scan
        jpeg_compress_struct* target = job->target;
        stream.lumaKept = stepRatios(*source->comp_info[0].quant_table, *target->quant_tbl_ptrs[0],
                                     stream.lumaRatio);
        for (int c = 0; c < 2; ++c)
            stream.halvers[c] = detail::ChromaHalver(source->comp_info[c + 1].quant_table->quantval,
                                                     target->quant_tbl_ptrs[1]->quantval,
                                                     source->image_width, source->image_height);
        stream.ready = true;
    }
    for (JDIMENSION i = 0; i < 2; ++i) {
        stream.lumaRows[i] =
            top + i < rows ? stream.rings[0].rows[(top + i) % kRingRows] : stream.emptyRow;
        if (top + i < rows && !stream.lumaKept)
            for (JDIMENSION x = 0; x < columns; ++x)
                requantizeBlock(stream.lumaRows[i][x], stream.lumaRatio);
        checkCodable(reinterpret_cast<j_common_ptr>(source), stream.lumaRows[i], columns);
    }
    for (int c = 0; c < 2; ++c) {
        const Ring& ring = stream.rings[c + 1];
        const detail::ChromaHalver& halver = stream.halvers[c];
        JBLOCKROW upper = ring.rows[top % kRingRows];
        JBLOCKROW lower = top + 1 < rows ? ring.rows[(top + 1) % kRingRows] : nullptr;
        for (JDIMENSION x = 0; x < halver.columns(); ++x) {
            const bool right = 2 * x + 1 < columns;
            const std::int16_t* const quad[4] = {upper[2 * x], right ? upper[2 * x + 1] : nullptr,
                                                 lower ? lower[2 * x] : nullptr,
                                                 lower && right ? lower[2 * x + 1] : nullptr};
            halver.halve(quad, x, mcuRow, stream.chromaRows[c][x]);
        }
        checkCodable(reinterpret_cast<j_common_ptr>(source), stream.chromaRows[c],
                     halver.columns());
    }
    stream.prepared = mcuRow;
}

// Which of the encoder's components `array` stands for; -1 for an array of libjpeg's own.
int outputComponent(const Stream& stream, jvirt_barray_ptr array) {
    const int* handle = reinterpret_cast<const int*>(array);
    return handle >= stream.outputs && handle < stream.outputs + 3 ? int(handle - stream.outputs)
                                                                   : -1;
}

// The encoder reads an MCU row: two rows of luminance blocks and one of each chroma.
JBLOCKARRAY accessOutput(j_common_ptr cinfo, jvirt_barray_ptr array, JDIMENSION row,
                         JDIMENSION count, boolean writable) {
    Job* job = static_cast<Job*>(cinfo->client_data);
    Stream& stream = job->stream;
    const int component = outputComponent(stream, array);
    if (component < 0)
        return stream.encoderAccess(cinfo, array, row, count, writable);
    if (writable || count != (component == 0 ? 2u : 1u) || (component == 0 && row % 2 != 0))
        ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
    prepareRow(job, component == 0 ? row / 2 : row);
    return component == 0 ? stream.lumaRows : stream.chromaRows + (component - 1);
}

// Holds the decoder's arrays as rings and sends it through fillOrSuspend, so that it can
// be run just far enough each time (see decodeThrough).
void streamDecoder(jpeg_decompress_struct* source) {
    Stream& stream = static_cast<Job*>(source->client_data)->stream;
    stream.access = source->mem->access_virt_barray;
    stream.fill = source->src->fill_input_buffer;
    source->mem->request_virt_barray = requestRing;
    source->mem->access_virt_barray = accessRing;
    source->src->fill_input_buffer = fillOrSuspend;
}

// Component `ci`'s unit, decoded, requantised in its ring and checked, once.
void requantizeUnit(Job* job, int ci, JDIMENSION unit) {
    jpeg_decompress_struct* source = job->source;
    Stream& stream = job->stream;
    if (stream.requantized[ci] == unit + 1)
        return;
    decodeThrough(source, unit);
    const jpeg_component_info& c = source->comp_info[ci];
    if (stream.requantized[ci] == 0) // the tables are known once the decoder has begun
        stream.kept[ci] = stepRatios(*c.quant_table, *job->target->quant_tbl_ptrs[ci == 0 ? 0 : 1],
                                     stream.ratios[ci]);
    const Ring& ring = stream.rings[ci];
    for (JDIMENSION i = 0; i < ring.factor && unit * ring.factor + i < c.height_in_blocks; ++i) {
        JBLOCKROW blocks = ring.rows[(unit % kRingRows) * ring.factor + i];
        if (!stream.kept[ci])
            for (JDIMENSION x = 0; x < c.width_in_blocks; ++x)
                requantizeBlock(blocks[x], stream.ratios[ci]);
        checkCodable(reinterpret_cast<j_common_ptr>(source), blocks, c.width_in_blocks);
    }
    stream.requantized[ci] = unit + 1;
}

// The encoder reads rows of a component within one of the decoder's units: grey made of
// colour takes the luminance a row at a time, whatever its sampling in the file.
JBLOCKARRAY accessKept(j_common_ptr cinfo, jvirt_barray_ptr array, JDIMENSION row, JDIMENSION count,
                       boolean writable) {
    Job* job = static_cast<Job*>(cinfo->client_data);
    Stream& stream = job->stream;
    const int ci = outputComponent(stream, array);
    if (ci < 0)
        return stream.encoderAccess(cinfo, array, row, count, writable);
    if (stream.requested <= ci) // the rings' shapes are known once the decoder has begun
        decodeThrough(job->source, 0);
    if (stream.requested <= ci)
        ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
    const JDIMENSION factor = stream.rings[ci].factor;
    if (writable || count == 0 || row / factor != (row + count - 1) / factor)
        ERREXIT(cinfo, JERR_BAD_VIRTUAL_ACCESS);
    requantizeUnit(job, ci, row / factor);
    return stream.rings[ci].rows + (row / factor % kRingRows) * factor + row % factor;
}

// Writes the file with the encoder pulling each row through `access` as it goes, on
// handles of ours that stand for its arrays.
void writePulled(Job* job, AccessRows access) {
    Stream& stream = job->stream;
    jpeg_compress_struct* target = job->target;
    stream.encoderAccess = target->mem->access_virt_barray;
    target->mem->access_virt_barray = access;
    for (int ci = 0; ci < 3; ++ci)
        stream.handles[ci] = reinterpret_cast<jvirt_barray_ptr>(stream.outputs + ci);
    writeHeader(job);
    jpeg_write_coefficients(target, stream.handles); // kept by the encoder till the end
    writeProfile(job);
}

// The sampling stays, in a single scan: the coefficients are requantised as the encoder
// reads them, decoded just far enough each time, a few MCU rows being held.
void requantizeStreamed(Job* job) {
    streamDecoder(job->source);
    keepSampling(job);
    writePulled(job, accessKept);
}

// 4:4:4 to 4:2:0: the encoder pulls each MCU row, made as it asks. A single scan is
// decoded alongside, just far enough each time: only a few rows of coefficients are held,
// where whole-picture arrays would cost more in fresh memory than the transforms they
// save. Other files (progressive ones) are decoded whole first, as they must be.
void halveColour(Job* job, bool streamed) {
    jpeg_decompress_struct* source = job->source;
    jpeg_compress_struct* target = job->target;
    Stream& stream = job->stream;
    auto* common = reinterpret_cast<j_common_ptr>(source);
    if (streamed) {
        streamDecoder(source);
    } else {
        stream.whole = jpeg_read_coefficients(source);
        if (job->warned)
            return;
        for (Ring& ring : stream.rings)
            ring.rows = (*source->mem->alloc_barray)(
                common, JPOOL_IMAGE, source->comp_info[0].width_in_blocks, kRingRows);
        stream.requested = 3;
    }
    const JDIMENSION columns = source->comp_info[0].width_in_blocks;
    stream.emptyRow = (*source->mem->alloc_barray)(common, JPOOL_IMAGE, columns, 1)[0];
    std::memset(stream.emptyRow, 0, columns * sizeof(JBLOCK));
    for (JBLOCKROW& row : stream.chromaRows)
        row = (*source->mem->alloc_barray)(common, JPOOL_IMAGE, (columns + 1) / 2, 1)[0];

    jpeg_copy_critical_parameters(source, target);
    target->comp_info[0].h_samp_factor = 2;
    target->comp_info[0].v_samp_factor = 2;
    setQuality(target, job->settings->quality);
    writePulled(job, accessOutput);
}

void streamRows(Job* job) {
    jpeg_decompress_struct* source = job->source;
    jpeg_compress_struct* target = job->target;
    const bool grey = job->settings->grey || source->num_components == 1;
    source->out_color_space = grey ? JCS_GRAYSCALE : JCS_YCbCr;
    // Below the quality where the encoder keeps the colour whole, its quantisation is
    // far coarser than the fast transforms' rounding, which save a tenth of the time.
    const bool coarse = jpegSubsamplesColour(job->settings->quality);
    if (coarse)
        source->dct_method = JDCT_IFAST;
    jpeg_start_decompress(source);
    target->image_width = source->output_width;
    target->image_height = source->output_height;
    target->input_components = grey ? 1 : 3;
    target->in_color_space = grey ? JCS_GRAYSCALE : JCS_YCbCr;
    jpeg_set_defaults(target);
    jpeg_set_quality(target, job->settings->quality, TRUE);
    if (coarse)
        target->dct_method = JDCT_IFAST;
    if (!grey) {
        const int factor = jpegSubsamplesColour(job->settings->quality) ? 2 : 1;
        target->comp_info[0].h_samp_factor = factor;
        target->comp_info[0].v_samp_factor = factor;
    }
    writeHeader(job);
    jpeg_start_compress(target, TRUE);
    writeProfile(job);
    constexpr JDIMENSION kRows = 16; // two MCU rows at 4:2:0
    JSAMPARRAY rows = (*source->mem->alloc_sarray)(
        reinterpret_cast<j_common_ptr>(source), JPOOL_IMAGE,
        source->output_width * JDIMENSION(target->input_components), kRows);
    while (source->output_scanline < source->output_height && !job->warned) {
        JDIMENSION read = 0;
        while (read < kRows && source->output_scanline < source->output_height)
            read += jpeg_read_scanlines(source, rows + read, kRows - read);
        jpeg_write_scanlines(target, rows, read);
    }
}

enum class Path {
    Declined,
    Requantised,
    RequantisedStreamed,
    HalvedStreamed,
    HalvedWhole,
    RowsStreamed
};

// How a file whose header has been read is transcoded. Both run() and the estimate of
// its memory take this one decision, so that the estimate follows the work done.
Path choosePath(const jpeg_decompress_struct& source, const JpegTranscode& settings,
                std::uint64_t coefficientBytes) {
    // The coefficients are allocated for the size the header claims: a file of a few
    // hundred bytes claiming 65500 x 65500 would cost gigabytes before any data is read.
    // Declined here, the decoder refuses it against the limits at once.
    const Limits limits;
    if (!codable(source) ||
        std::uint64_t(source.image_width) * source.image_height > limits.maxPixels)
        return Path::Declined;
    if ((settings.maxWidth > 0 && JDIMENSION(settings.maxWidth) < source.image_width) ||
        (settings.maxHeight > 0 && JDIMENSION(settings.maxHeight) < source.image_height))
        return Path::Declined;
    // Coefficients beyond the memory budget are not held: the rows stream instead, a
    // few at a time, unless the file is progressive and libjpeg must hold them anyway.
    const bool multiScan = jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&source));
    const bool coefficientsFit = coefficientBytes <= limits.maxBytes;
    const bool streamable = !multiScan && source.comp_info[0].width_in_blocks >= kStreamedColumns;
    if (samplingKept(source, settings) && streamable)
        return Path::RequantisedStreamed;
    if (samplingKept(source, settings) && (coefficientsFit || multiScan))
        return Path::Requantised;
    if (colourHalved(source, settings) && streamable)
        return Path::HalvedStreamed;
    if (colourHalved(source, settings) && coefficientsFit)
        return Path::HalvedWhole;
    return Path::RowsStreamed;
}

// The one function that calls setjmp. Gives 1 when the file was made, 0 when it needs
// the way through pixels; `job.out` holds the output buffer either way.
int run(Job* job) {
    if (setjmp(job->jump))
        return 0;
    jpeg_decompress_struct* source = job->source;
    jpeg_compress_struct* target = job->target;
    const JpegTranscode& settings = *job->settings;
    jpeg_create_decompress(source);
    jpeg_create_compress(target);
    jpeg_mem_src(source, job->bytes, static_cast<unsigned long>(job->size));
    jpeg_read_header(source, TRUE);
    const Path path = choosePath(*source, settings, job->coefficientBytes);
    if (path == Path::Declined)
        return 0;
    // And libjpeg itself fails rather than allocate beyond one bitmap's memory.
    source->mem->max_memory_to_use = static_cast<long>(Limits{}.maxBytes);
    job->destination.init_destination = startOutput;
    job->destination.empty_output_buffer = growOutput;
    job->destination.term_destination = endOutput;
    target->dest = &job->destination;
    if (packs(*source, job->coefficientBytes))
        packCoefficients(job);
    switch (path) {
    case Path::Requantised:
        requantizeAll(job);
        break;
    case Path::RequantisedStreamed:
        requantizeStreamed(job);
        break;
    case Path::HalvedStreamed:
    case Path::HalvedWhole:
        halveColour(job, path == Path::HalvedStreamed);
        break;
    default:
        streamRows(job);
        break;
    }
    if (job->warned)
        return 0;
    jpeg_finish_compress(target);
    jpeg_finish_decompress(source);
    return job->warned ? 0 : 1;
}

JpegTranscode normalised(const JpegTranscode& asked) {
    JpegTranscode settings = asked;
    settings.quality = asked.quality == 0 ? 75 : std::clamp(asked.quality, 1, 100);
    return settings;
}

// The output file's size: requantised or encoded again from the same picture, it grows
// past the input only where the steps get finer than a photograph's usual ones.
std::uint64_t expectedOutput(std::uint64_t inputBytes, int quality) {
    return std::max<std::uint64_t>(inputBytes * (quality <= 50   ? 1
                                                 : quality <= 85 ? 2
                                                                 : 3),
                                   kFirstOutput);
}

// The output buffer's size at the end: it doubles from kFirstOutput until the file fits.
std::uint64_t outputCapacity(std::uint64_t output) {
    std::uint64_t capacity = kFirstOutput;
    while (capacity < output)
        capacity *= 2;
    return capacity;
}

// What a path holds at its peak beyond the output: the coefficients it keeps whole, the
// rows of blocks or samples on their way from decoder to encoder, and libjpeg's own
// tables and buffers.
std::uint64_t workingBytes(const jpeg_decompress_struct& source, Path path,
                           std::uint64_t coefficientBytes, std::uint64_t fileBytes) {
    constexpr std::uint64_t kLibraryOwn = 1 << 20;
    const std::uint64_t blockRow =
        std::uint64_t(source.comp_info[0].width_in_blocks) * sizeof(JBLOCK);
    // All coefficients, where they are held: by the ways that keep them whole, and by the
    // decoder of a progressive file whatever the way.
    std::uint64_t whole = coefficientBytes;
    if (packs(source, coefficientBytes)) // at worst every coefficient and a mask a block
        whole =
            std::min(coefficientBytes + coefficientBytes / (sizeof(JBLOCK) / 8),
                     detail::PackedArrays::estimate(coefficientBytes / sizeof(JBLOCK), fileBytes));
    const bool multiScan = jpeg_has_multiple_scans(const_cast<j_decompress_ptr>(&source));
    switch (path) {
    case Path::Requantised:
        return whole + kLibraryOwn;
    case Path::RequantisedStreamed: { // each component's ring
        std::uint64_t rings = 0;
        for (int ci = 0; ci < source.num_components; ++ci) {
            const jpeg_component_info& c = source.comp_info[ci];
            const std::uint64_t blocks =
                (c.width_in_blocks + c.h_samp_factor - 1) / c.h_samp_factor * c.h_samp_factor;
            rings += blocks * kRingRows * unsigned(c.v_samp_factor) * sizeof(JBLOCK);
        }
        return rings + kLibraryOwn;
    }
    case Path::HalvedStreamed: // the rings, the empty row and the halved chroma rows
        return (3 * kRingRows + 2) * blockRow + kLibraryOwn;
    case Path::HalvedWhole: // the decoder's arrays and the rings beside them
        return whole + (3 * kRingRows + 2) * blockRow + kLibraryOwn;
    case Path::RowsStreamed:
        // Ours, the decoder's and the encoder's few rows of samples at full width in
        // each component, some of them in context groups of three MCU rows.
        return (multiScan ? whole : 0) + std::uint64_t(source.image_width) * 3 * 16 * 6 +
               kLibraryOwn;
    default:
        return 0;
    }
}

struct HeaderRead {
    std::jmp_buf jump;
    jpeg_error_mgr errors;
};

void onHeaderError(j_common_ptr cinfo) {
    std::longjmp(static_cast<HeaderRead*>(cinfo->client_data)->jump, 1);
}

void ignoreMessage(j_common_ptr, int) {}

// The one function of the estimate that calls setjmp: reads the header as run() does.
std::uint64_t estimate(HeaderRead* read, jpeg_decompress_struct* source,
                       std::span<const std::uint8_t> bytes, const JpegTranscode& settings,
                       std::uint64_t coefficientBytes) {
    if (setjmp(read->jump))
        return 0;
    jpeg_create_decompress(source);
    jpeg_mem_src(source, bytes.data(), static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(source, TRUE);
    const Path path = choosePath(*source, settings, coefficientBytes);
    if (path == Path::Declined)
        return 0;
    const std::uint64_t output = expectedOutput(bytes.size(), settings.quality);
    // The buffer at its largest, and the file copied out of it at the end.
    return workingBytes(*source, path, coefficientBytes, bytes.size()) + outputCapacity(output) +
           output;
}

} // namespace

std::size_t transcodePeakBytes(std::span<const std::uint8_t> bytes, const JpegTranscode& asked) {
    const JpegTranscode settings = normalised(asked);
    const JpegMarkers markers = readJpegMarkers(bytes);
    if (markers.orientation != 1 || bytes.empty())
        return 0;
    HeaderRead read;
    jpeg_decompress_struct source{};
    source.err = jpeg_std_error(&read.errors);
    read.errors.error_exit = onHeaderError;
    read.errors.emit_message = ignoreMessage;
    source.client_data = &read;
    const std::uint64_t peak = estimate(&read, &source, bytes, settings, markers.coefficientBytes);
    jpeg_destroy_decompress(&source);
    return std::size_t(std::min<std::uint64_t>(peak, SIZE_MAX));
}

std::string transcodeJpeg(std::span<const std::uint8_t> bytes, const JpegTranscode& asked) {
    const JpegTranscode settings = normalised(asked);
    const JpegMarkers markers = readJpegMarkers(bytes);
    if (markers.orientation != 1)
        return {};
    Job job;
    detail::PackedArrays packed; // outlives run(), which may longjmp out of its work
    job.packed = &packed;
    job.settings = &settings;
    job.bytes = bytes.data();
    job.size = bytes.size();
    job.profile = &markers.iccProfile;
    job.coefficientBytes = markers.coefficientBytes;
    // The resolution and profile the way through pixels would write (see encodeJpeg).
    Bitmap header;
    header.dpiX = settings.dpi != 0 ? settings.dpi : markers.dpiX;
    header.dpiY = settings.dpi != 0 ? settings.dpi : markers.dpiY;
    double dpiX = 0, dpiY = 0;
    if (detail::resolutionOf(header, dpiX, dpiY)) {
        job.densityInInches = true;
        job.densityX = unsigned(std::clamp(std::lround(dpiX), 1L, 65535L));
        job.densityY = unsigned(std::clamp(std::lround(dpiY), 1L, 65535L));
    }

    jpeg_decompress_struct source{};
    jpeg_compress_struct target{};
    source.err = jpeg_std_error(&job.errors);
    target.err = &job.errors;
    job.errors.error_exit = onError;
    job.errors.emit_message = onMessage;
    source.client_data = &job;
    target.client_data = &job;
    job.source = &source;
    job.target = &target;

    int made = run(&job);
    // libjpeg's memory goes before the file is copied out, so the two are never held
    // together.
    jpeg_destroy_compress(&target);
    jpeg_destroy_decompress(&source);
    std::string result;
    if (made)
        result.assign(reinterpret_cast<const char*>(job.out), job.outSize);
    std::free(job.out);
    return result;
}

} // namespace folimo::imaging
