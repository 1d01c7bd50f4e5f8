// GCR as the 1541 reads and writes it: 4 bits as 5, syncs, header and data
// blocks of one track.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "image/g64.h"

namespace {

constexpr std::uint8_t kGcrCodes[16] = {0x0A, 0x0B, 0x12, 0x13, 0x0E, 0x0F, 0x16, 0x17,
                                        0x09, 0x19, 0x1A, 0x1B, 0x0D, 0x1D, 0x1E, 0x15};
constexpr std::uint8_t kHeaderMark = 0x08;
constexpr std::uint8_t kDataMark = 0x07;
constexpr std::uint8_t kHeaderFill = 0x0F;
constexpr std::uint8_t kGapByte = 0x55;
constexpr std::uint8_t kSyncByte = 0xFF;
constexpr int kSyncBits = 10;
constexpr std::size_t kSyncBytes = 5;  // 40 bits, as the drive writes them
constexpr std::size_t kHeaderGap = 9;
// In the decoded header block.
constexpr int kHeaderChecksum = 1, kHeaderSector = 2, kHeaderTrack = 3, kHeaderId2 = 4, kHeaderId1 = 5;
// In the decoded data block.
constexpr std::size_t kDataBlockBytes = 260;
constexpr std::size_t kDataChecksum = 1 + kBlockSize;
constexpr std::size_t kSectorBytes = kSyncBytes + kGcrHeaderBytes + kHeaderGap + kSyncBytes + kGcrDataBytes;

// -1 for the 5-bit values that are no GCR code.
constexpr auto kGcrValues = [] {
    std::array<std::int8_t, 32> values {};
    for (auto& v : values) v = -1;
    for (int n = 0; n < 16; ++n) values[kGcrCodes[n]] = static_cast<std::int8_t>(n);
    return values;
}();

std::uint8_t headerChecksum(const std::uint8_t* h) {
    return static_cast<std::uint8_t>(h[kHeaderSector] ^ h[kHeaderTrack] ^ h[kHeaderId2] ^ h[kHeaderId1]);
}

std::uint8_t blockChecksum(const std::uint8_t* block) {
    std::uint8_t sum = 0;
    for (int i = 0; i < kBlockSize; ++i) sum = static_cast<std::uint8_t>(sum ^ block[i]);
    return sum;
}

}  // namespace

void gcrEncode(const std::uint8_t* in, std::size_t groups, std::uint8_t* out) {
    for (std::size_t g = 0; g < groups; ++g, in += 4, out += 5) {
        std::uint64_t bits = 0;
        for (int i = 0; i < 4; ++i) bits = (bits << 10) | (kGcrCodes[in[i] >> 4] << 5) | kGcrCodes[in[i] & 15];
        for (int i = 0; i < 5; ++i) out[i] = static_cast<std::uint8_t>(bits >> (32 - 8 * i));
    }
}

bool gcrDecode(const std::uint8_t* in, std::size_t groups, std::uint8_t* out, std::size_t checkedBytes) {
    bool valid = true;
    for (std::size_t g = 0; g < groups; ++g, in += 5, out += 4) {
        std::uint64_t bits = 0;
        for (int i = 0; i < 5; ++i) bits = (bits << 8) | in[i];
        for (int i = 0; i < 8; ++i) {
            const std::int8_t value = kGcrValues[(bits >> (35 - 5 * i)) & 31];
            if (value < 0 && 4 * g + static_cast<std::size_t>(i / 2) < checkedBytes) valid = false;
            const auto nybble = static_cast<std::uint8_t>(value < 0 ? 0 : value);
            out[i / 2] = static_cast<std::uint8_t>(i % 2 ? (out[i / 2] | nybble) : nybble << 4);
        }
    }
    return valid;
}

std::vector<std::uint32_t> findSyncs(const GcrTrack& track) {
    std::vector<std::uint32_t> syncs;
    // Byte by byte: within one byte no run reaches 10, so a sync can only
    // end at a byte's first 0 bit, after the 1 bits carried into it. Start
    // behind a byte with a 0 bit, so that no run is cut at the wrap.
    std::uint32_t first = 0;
    while (first < track.length && track.bytes[first] == 0xFF) ++first;
    if (first == track.length) return syncs;
    int ones = std::countr_one(track.bytes[first]);
    std::uint32_t at = first;
    for (std::uint32_t k = 0; k < track.length; ++k) {
        at = at + 1 == track.length ? 0 : at + 1;
        const std::uint8_t byte = track.bytes[at];
        if (byte == 0xFF) {
            ones = ones < kSyncBits ? ones + 8 : ones;
            continue;
        }
        const int lead = std::countl_one(byte);
        if (ones + lead >= kSyncBits) syncs.push_back(at * 8 + static_cast<std::uint32_t>(lead));
        ones = std::countr_one(byte);
    }
    // In the order of the track from its start, as a drive meets them after
    // the index hole: of two headers for one sector the first is read.
    std::sort(syncs.begin(), syncs.end());
    return syncs;
}

void readTrackBits(const GcrTrack& track, std::uint32_t bit, std::uint8_t* out, std::size_t bytes) {
    // Byte by byte: the byte holding the bit and the one after it (the
    // first again after the last).
    std::uint32_t at = bit >> 3;
    const unsigned shift = bit & 7;
    for (std::size_t i = 0; i < bytes; ++i) {
        const std::uint32_t next = at + 1 == track.length ? 0 : at + 1;
        out[i] = static_cast<std::uint8_t>((track.bytes[at] << shift) | (track.bytes[next] >> (8 - shift)));
        at = next;
    }
}

void writeTrackBits(std::uint8_t* track, std::uint32_t length, std::uint32_t bit, const std::uint8_t* in,
                    std::size_t bytes) {
    const std::uint32_t bits = length * 8;
    for (std::size_t i = 0; i < bytes * 8; ++i) {
        const auto mask = static_cast<std::uint8_t>(0x80 >> (bit & 7));
        if ((in[i >> 3] << (i & 7)) & 0x80) track[bit >> 3] |= mask;
        else track[bit >> 3] &= static_cast<std::uint8_t>(~mask);
        bit = bit + 1 == bits ? 0 : bit + 1;
    }
}

// Error codes as the drive reports them: 21 when the track has no sync at
// all; for a sector whose header is nowhere, 27 when a header naming it had
// a wrong checksum, else 20; after its header the drive reads the block that
// follows the next sync: 22 when that is no data block (or there is no
// other sync), 23 when its checksum is wrong or its GCR holds a code that is
// none. The two fillers after a data block's checksum (and the header's two
// after the IDs) are covered by no checksum and ignored by the drive: a
// nibbled copy holds anything there. The first sound header of a sector from
// the track's start counts; a second one, a header of another track or
// sector number, a bad one make the track unclean.
void decodeTrack(const GcrTrack& track, std::uint8_t trackNumber, std::uint8_t sectors, std::uint8_t* blocks,
                 TrackDecode& out) {
    bool found[21] = {}, badHeader[21] = {};
    out.clean = true;
    out.anyHeader = false;
    std::memset(out.dataBit, 0, sizeof out.dataBit);
    std::memset(out.error, kErrorNoSync, sizeof out.error);
    if (sectors > 21) sectors = 21;
    const std::vector<std::uint32_t> syncs = track.length ? findSyncs(track) : std::vector<std::uint32_t> {};
    const std::size_t n = syncs.size();
    if (n == 0) {
        out.clean = false;
        return;
    }
    const std::uint32_t bits = track.length * 8;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t gcr[kGcrDataBytes], h[8], d[kDataBlockBytes];
        readTrackBits(track, syncs[i], gcr, kGcrHeaderBytes);
        if (!gcrDecode(gcr, 2, h, kHeaderId1 + 1) || h[0] != kHeaderMark) continue;
        const std::uint8_t sector = h[kHeaderSector];
        if (h[kHeaderTrack] != trackNumber || sector >= sectors) {
            out.clean = false;
            continue;
        }
        if (h[kHeaderChecksum] != headerChecksum(h)) {
            badHeader[sector] = true;
            out.clean = false;
            continue;
        }
        if (found[sector]) {
            out.clean = false;
            continue;
        }
        found[sector] = true;
        out.anyHeader = true;
        const std::uint32_t data = syncs[(i + 1) % n];
        if (n == 1) {
            out.error[sector] = kErrorNoData;
            continue;
        }
        readTrackBits(track, data, gcr, kGcrDataBytes);
        const bool valid = gcrDecode(gcr, kGcrDataBytes / 5, d, kDataChecksum + 1);
        if (d[0] != kDataMark) {
            out.error[sector] = kErrorNoData;
            continue;
        }
        std::memcpy(blocks + kBlockSize * sector, d + 1, kBlockSize);
        out.error[sector] = valid && d[kDataChecksum] == blockChecksum(d + 1) ? kErrorOk : kErrorDataChecksum;
        out.dataBit[sector] = data;
        // The sync after the data block must not begin inside it.
        const std::uint32_t next = syncs[(i + 2) % n];
        const std::uint32_t room = (next + bits - data) % bits;
        if (room != 0 && room < kGcrDataBytes * 8 + kSyncBits) out.clean = false;
    }
    for (std::uint8_t s = 0; s < sectors; ++s) {
        if (!found[s]) out.error[s] = badHeader[s] ? kErrorHeaderChecksum : kErrorNoHeader;
        if (out.error[s] != kErrorOk) out.clean = false;
    }
}

void encodeDataBlock(const std::uint8_t* block, std::uint8_t* gcr) {
    std::uint8_t d[kDataBlockBytes] = {};
    d[0] = kDataMark;
    std::memcpy(d + 1, block, kBlockSize);
    d[kDataChecksum] = blockChecksum(block);
    gcrEncode(d, kDataBlockBytes / 4, gcr);
}

void encodeTrack(std::uint8_t* out, std::uint32_t length, std::uint8_t trackNumber, std::uint8_t sectors,
                 const std::uint8_t* blocks, std::uint8_t id1, std::uint8_t id2) {
    std::memset(out, kGapByte, length);
    if (sectors == 0 || length < sectors * kSectorBytes) return;
    const std::size_t gap = (length - sectors * kSectorBytes) / sectors;
    std::uint8_t* p = out;
    for (std::uint8_t s = 0; s < sectors; ++s) {
        std::uint8_t h[8] = {kHeaderMark, 0, s, trackNumber, id2, id1, kHeaderFill, kHeaderFill};
        h[kHeaderChecksum] = headerChecksum(h);
        std::memset(p, kSyncByte, kSyncBytes);
        p += kSyncBytes;
        gcrEncode(h, 2, p);
        p += kGcrHeaderBytes + kHeaderGap;
        std::memset(p, kSyncByte, kSyncBytes);
        p += kSyncBytes;
        encodeDataBlock(blocks + kBlockSize * s, p);
        p += kGcrDataBytes + gap;
    }
}
