#include "archive/zstd_entry.h"

// For ZSTD_getFrameHeader and ZSTD_WINDOWLOG_LIMIT_DEFAULT: libzstd is
// linked in whole, so its advanced API is the one it was built with.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstring>

namespace {

// The zip format's numbers for zstd ("APPNOTE.TXT", 4.4.5): 93 now, 20
// before it was withdrawn; libzip 1.7 names neither.
const zip_uint16_t kZstdMethod = 93;
const zip_uint16_t kWithdrawnZstdMethod = 20;

// The largest window a frame may ask for: libzstd's own default limit for
// decoders, 2^27 bytes (zstd.h). A frame states its window in its header;
// the decoder holds that much (no more than the frame's content, where the
// header states it), so this bounds the memory an entry takes.
const unsigned kWindowLogLimit = ZSTD_WINDOWLOG_LIMIT_DEFAULT;

// One libzstd decoder, freed however the copy ends, and where it stands in
// the entry's raw data.
struct Decoder {
    ZSTD_DStream* stream = ZSTD_createDStream();
    unsigned char input[kPieceSize] = {};
    ZSTD_inBuffer in = {input, 0, 0};
    bool inputEnded = false;
    bool atFrameEnd = true; // no frame begun, or the last one decoded whole
    // The first bytes of the frame being decoded, to name its window.
    unsigned char frameStart[ZSTD_FRAMEHEADERSIZE_MAX] = {};
    size_t frameStartSize = 0;

    Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder() { ZSTD_freeDStream(stream); }
};

// Keeps what the decoder took of a frame's first bytes.
void NoteFrameStart(Decoder& decoder, size_t from, size_t to)
{
    const size_t room = sizeof decoder.frameStart - decoder.frameStartSize;
    const size_t taken = std::min(room, to - from);
    memcpy(decoder.frameStart + decoder.frameStartSize, decoder.input + from, taken);
    decoder.frameStartSize += taken;
}

std::string WindowTooLarge(const Decoder& decoder)
{
    ZSTD_frameHeader header = {};
    const unsigned long long asked =
        ZSTD_getFrameHeader(&header, decoder.frameStart, decoder.frameStartSize) == 0
            ? header.windowSize
            : 0;
    return "its zstd window is " + std::to_string(asked) + " bytes, and at most " +
           std::to_string(1ULL << kWindowLogLimit) + " are taken";
}

// Decodes up to wanted bytes into piece: how many, 0 where the data has
// ended, -1 where it is damaged. The decoder may hold decoded bytes it has
// not yet given out, so it is asked again after the input has ended, until
// it gives nothing more.
zip_int64_t DecodePiece(zip_file_t* raw, Decoder& decoder, unsigned char* piece, size_t wanted,
                        std::string& readError)
{
    ZSTD_outBuffer out = {piece, wanted, 0};
    while (out.pos < out.size) {
        if (decoder.in.pos == decoder.in.size && !decoder.inputEnded) {
            const zip_int64_t read = zip_fread(raw, decoder.input, kPieceSize);
            if (read < 0)
                return -1;
            decoder.inputEnded = read == 0;
            decoder.in = {decoder.input, static_cast<size_t>(read), 0};
        }
        if (decoder.atFrameEnd)
            decoder.frameStartSize = 0;
        const size_t from = decoder.in.pos;
        const size_t before = out.pos;
        const size_t left = ZSTD_decompressStream(decoder.stream, &out, &decoder.in);
        // On an error the decoder does not say how far it read: the header
        // it refused lies within what it was given.
        NoteFrameStart(decoder, from, ZSTD_isError(left) ? decoder.in.size : decoder.in.pos);
        if (ZSTD_isError(left)) {
            if (ZSTD_getErrorCode(left) == ZSTD_error_frameParameter_windowTooLarge)
                readError = WindowTooLarge(decoder);
            return -1;
        }
        const bool moved = decoder.in.pos != from || out.pos != before;
        if (!moved)
            break; // with room and input, the decoder always moves: the data has ended
        decoder.atFrameEnd = left == 0;
    }
    return static_cast<zip_int64_t>(out.pos);
}

// After the entry's stated size, the data may only end its frame.
bool EndsHere(zip_file_t* raw, Decoder& decoder, std::string& readError)
{
    unsigned char beyond = 0;
    const zip_int64_t decoded = DecodePiece(raw, decoder, &beyond, 1, readError);
    if (decoded > 0)
        readError = LibzipText(ZIP_ER_INCONS);
    else if (decoded == 0 && !decoder.atFrameEnd)
        readError = LibzipText(ZIP_ER_COMPRESSED_DATA);
    return decoded == 0 && decoder.atFrameEnd;
}

} // namespace

bool IsZstdEntry(const zip_stat_t& stat)
{
    const bool encrypted = (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) &&
                           stat.encryption_method != ZIP_EM_NONE;
    return (stat.valid & ZIP_STAT_COMP_METHOD) && !encrypted &&
           (stat.comp_method == kZstdMethod || stat.comp_method == kWithdrawnZstdMethod);
}

CopyOutcome CopyZstdEntry(zip_file_t* raw, const zip_stat_t& stat, HANDLE out,
                          std::string& readError)
{
    Decoder decoder;
    if (!decoder.stream ||
        ZSTD_isError(ZSTD_DCtx_setParameter(decoder.stream, ZSTD_d_windowLogMax, kWindowLogLimit))) {
        readError = LibzipText(ZIP_ER_MEMORY);
        return CopyOutcome::ReadFailed;
    }
    const CopyOutcome copied = CopyDecoded(
        stat, out, readError, [&](unsigned char* piece, size_t wanted, std::string& why) {
            return DecodePiece(raw, decoder, piece, wanted, why);
        });
    if (copied != CopyOutcome::Copied)
        return copied;
    return EndsHere(raw, decoder, readError) ? CopyOutcome::Copied : CopyOutcome::ReadFailed;
}
