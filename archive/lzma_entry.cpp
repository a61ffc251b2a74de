#include "archive/lzma_entry.h"

#include <lzma.h>

#include <algorithm>
#include <cstdlib>

#include "diag/report.h"

namespace {

// One liblzma decoder, ended however the copy ends.
struct Decoder {
    lzma_stream stream = LZMA_STREAM_INIT;
    Decoder() = default;
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder() { lzma_end(&stream); }
};

bool ReadExactly(zip_file_t* raw, unsigned char* buffer, zip_uint64_t size)
{
    return zip_fread(raw, buffer, size) == static_cast<zip_int64_t>(size);
}

// An LZMA entry's data begins with the encoder's version (2 bytes), the
// size of the properties (2 bytes, little-endian, 5) and the properties
// (lc, lp and pb in one byte, and the dictionary size); the LZMA1 stream
// follows ("APPNOTE.TXT", 5.8.8). liblzma takes the whole dictionary the
// header names when the decoder starts, whatever the entry's size; no match
// reaches back further than the entry's own bytes, so the dictionary is cut
// to them (no less than LZMA_DICT_SIZE_MIN) and the output is the same: a
// header that names 4 GiB cannot take the 32-bit build's memory.
bool StartDecoder(zip_file_t* raw, std::uint64_t size, Decoder& decoder)
{
    unsigned char header[4] = {};
    unsigned char properties[5] = {};
    if (!ReadExactly(raw, header, sizeof header) || (header[2] | header[3] << 8) != 5 ||
        !ReadExactly(raw, properties, sizeof properties))
        return false;
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
    if (lzma_properties_decode(&filters[0], nullptr, properties, sizeof properties) != LZMA_OK)
        return false;
    auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
    const std::uint64_t needed = std::max<std::uint64_t>(size, LZMA_DICT_SIZE_MIN);
    if (options->dict_size > needed)
        options->dict_size = static_cast<std::uint32_t>(needed);
    const lzma_ret started = lzma_raw_decoder(&decoder.stream, filters);
    free(filters[0].options); // allocated by liblzma with malloc; the decoder keeps its own copy
    return started == LZMA_OK;
}

// Decodes up to wanted bytes into piece; returns how many, or -1 when the
// data is damaged or ends too soon.
zip_int64_t DecodePiece(zip_file_t* raw, Decoder& decoder, unsigned char* input,
                        unsigned char* piece, size_t wanted)
{
    lzma_stream& stream = decoder.stream;
    stream.next_out = piece;
    stream.avail_out = wanted;
    bool inputEnded = false;
    while (stream.avail_out > 0) {
        if (stream.avail_in == 0 && !inputEnded) {
            const zip_int64_t read = zip_fread(raw, input, kPieceSize);
            if (read < 0)
                return -1;
            inputEnded = read == 0;
            stream.next_in = input;
            stream.avail_in = static_cast<size_t>(read);
        }
        const lzma_ret decoded = lzma_code(&stream, inputEnded ? LZMA_FINISH : LZMA_RUN);
        if (decoded == LZMA_STREAM_END || (decoded == LZMA_OK && inputEnded && stream.avail_in == 0 &&
                                           stream.avail_out == wanted))
            break;
        if (decoded != LZMA_OK)
            return -1;
    }
    return static_cast<zip_int64_t>(wanted - stream.avail_out);
}

} // namespace

bool IsLzmaEntry(const zip_stat_t& stat)
{
    const bool encrypted = (stat.valid & ZIP_STAT_ENCRYPTION_METHOD) &&
                           stat.encryption_method != ZIP_EM_NONE;
    return (stat.valid & ZIP_STAT_COMP_METHOD) && stat.comp_method == ZIP_CM_LZMA && !encrypted;
}

CopyOutcome CopyLzmaEntry(zip_file_t* raw, const zip_stat_t& stat, HANDLE out,
                          std::string& readError)
{
    Decoder decoder;
    if (!StartDecoder(raw, stat.size, decoder)) {
        readError = LibzipText(ZIP_ER_COMPRESSED_DATA);
        return CopyOutcome::ReadFailed;
    }
    unsigned char input[kPieceSize];
    return CopyDecoded(stat, out, readError,
                       [&](unsigned char* piece, size_t wanted, std::string&) {
                           return DecodePiece(raw, decoder, input, piece, wanted);
                       });
}
