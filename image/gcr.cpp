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

// 10 GCR bits -> the byte they code, kNoCode added when a quintuple of
// them is no code (its nybble then is 0): one look-up per byte.
constexpr std::uint16_t kNoCode = 0x100;
constexpr auto kGcrBytes = [] {
    std::array<std::int8_t, 32> values {};
    for (auto& v : values) v = -1;
    for (int n = 0; n < 16; ++n) values[kGcrCodes[n]] = static_cast<std::int8_t>(n);
    std::array<std::uint16_t, 1024> bytes {};
    for (int i = 0; i < 1024; ++i) {
        const int high = values[i >> 5], low = values[i & 31];
        bytes[i] = static_cast<std::uint16_t>((high < 0 ? 0 : high << 4) | (low < 0 ? 0 : low) |
                                              (high < 0 || low < 0 ? kNoCode : 0));
    }
    return bytes;
}();

// 8 bytes as one number, the first most significant.
std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// Groups of 5 GCR bytes, each given as the 40 high bits of a number, into
// groups of 4 bytes; false when a byte below checkedBytes had a quintuple
// that is no code.
template <typename Quintuples>
bool decodeGroups(Quintuples groupBits, std::size_t groups, std::uint8_t* out, std::size_t checkedBytes) {
    // The four look-ups of group g, stored; of each byte i, kNoCode at bit
    // 8 + i.
    auto decode = [&](std::size_t g, unsigned& codes) {
        const std::uint64_t bits = groupBits(g);
        const unsigned b0 = kGcrBytes[(bits >> 54) & 1023], b1 = kGcrBytes[(bits >> 44) & 1023],
                       b2 = kGcrBytes[(bits >> 34) & 1023], b3 = kGcrBytes[(bits >> 24) & 1023];
        std::uint8_t* o = out + 4 * g;
        o[0] = static_cast<std::uint8_t>(b0);
        o[1] = static_cast<std::uint8_t>(b1);
        o[2] = static_cast<std::uint8_t>(b2);
        o[3] = static_cast<std::uint8_t>(b3);
        codes = (b0 & kNoCode) | (b1 & kNoCode) << 1 | (b2 & kNoCode) << 2 | (b3 & kNoCode) << 3;
        return b0 | b1 | b2 | b3;
    };
    // The groups wholly checked, then the one the check ends in and those
    // after it, whose codes do not count.
    const std::size_t checkedGroups = std::min(groups, checkedBytes / 4);
    unsigned bad = 0, codes = 0;
    std::size_t g = 0;
    for (; g < checkedGroups; ++g) bad |= decode(g, codes);
    if (g < groups) {
        decode(g, codes);
        const std::size_t rest = checkedBytes - 4 * g;  // below 4
        bad |= codes & (((1u << rest) - 1) << 8) ? kNoCode : 0;
        for (++g; g < groups; ++g) decode(g, codes);
    }
    return (bad & kNoCode) == 0;
}

// gcrDecode of the bits of a track from a bit offset on: read in place
// where they do not wrap, else copied first.
bool decodeTrackBits(const GcrTrack& track, std::uint32_t bit, std::size_t groups, std::uint8_t* out,
                     std::size_t checkedBytes) {
    const std::uint32_t at = bit >> 3;
    const unsigned shift = bit & 7;
    if (at + 5 * groups + 3 <= track.length) {
        const std::uint8_t* p = track.bytes + at;
        return decodeGroups([p, shift](std::size_t g) { return load64(p + 5 * g) << shift; }, groups, out,
                            checkedBytes);
    }
    std::uint8_t gcr[kGcrDataBytes];
    if (groups * 5 > sizeof gcr) return false;
    readTrackBits(track, bit, gcr, groups * 5);
    return gcrDecode(gcr, groups, out, checkedBytes);
}

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
    return decodeGroups(
        [in](std::size_t g) {
            const std::uint8_t* q = in + 5 * g;
            return (std::uint64_t {q[0]} << 56) | (std::uint64_t {q[1]} << 48) | (std::uint64_t {q[2]} << 40) |
                   (std::uint64_t {q[3]} << 32) | (std::uint64_t {q[4]} << 24);
        },
        groups, out, checkedBytes);
}

namespace {

// Calls onSync(bit) for every bit where a block starts, in the order of the
// track: the first 0 bit after 10 or more 1 bits (the run may wrap from the
// end of the track to its start). onSync gives the first bit the search
// goes on from: past its bit, or past a block that can hold no sync.
template <typename OnSync>
void scanSyncs(const GcrTrack& track, OnSync onSync) {
    const std::uint32_t length = track.length;
    // Six bytes at a time, with the two before them: a 0 bit of the six
    // whose 10 bits before are all 1 ends a sync. The windows at the track's
    // ends take their bytes around the loop.
    constexpr std::uint64_t kSix = (std::uint64_t {1} << 48) - 1;
    std::uint32_t from = 0;
    for (std::uint32_t p = 0; p < length;) {
        std::uint64_t x = 0, inside = kSix;
        if (p >= 2 && p + 6 <= length) {
            x = load64(track.bytes + p - 2);
        } else {
            for (int j = 0; j < 8; ++j) {
                const auto i = static_cast<std::int64_t>(p) - 2 + j;
                x = x << 8 | track.bytes[static_cast<std::uint32_t>((i % length + length) % length)];
            }
            inside &= ~((std::uint64_t {1} << (48 - 8 * std::min<std::uint32_t>(6, length - p))) - 1);
        }
        // Bit k (0 the last of the window) with bits k+1 .. k+10 all 1.
        const std::uint64_t y = x >> 1;
        const std::uint64_t two = y & (y >> 1);
        const std::uint64_t four = two & (two >> 2);
        const std::uint64_t eight = four & (four >> 4);
        std::uint64_t found = eight & (two >> 8) & ~x & inside;
        std::uint32_t next = p + 6;
        while (found) {
            const int k = 63 - std::countl_zero(found);
            found &= ~(std::uint64_t {1} << k);
            const std::uint32_t bit = p * 8 + static_cast<std::uint32_t>(47 - k);
            if (bit < from) continue;
            from = onSync(bit);
            if (from > bit + 1) {
                next = std::max(p + 1, from >> 3);
                break;
            }
        }
        p = next;
    }
}

}  // namespace

std::vector<std::uint32_t> findSyncs(const GcrTrack& track) {
    std::vector<std::uint32_t> syncs;
    scanSyncs(track, [&](std::uint32_t bit) {
        syncs.push_back(bit);
        return bit + 1;
    });
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
    // The syncs, and the data blocks after them decoded once. A data block
    // whose every quintuple is a code holds no sync (no code has more than
    // four 1 bits at either end, and its first bit, ending a sync, is 0), so
    // the search goes on behind it: most of a track is never searched.
    std::vector<std::uint32_t> syncs;
    std::vector<int> soundBlock;  // per sync: its data block in sound, or -1
    std::vector<std::array<std::uint8_t, kDataBlockBytes>> sound;
    syncs.reserve(2 * sectors + 2);
    soundBlock.reserve(2 * sectors + 2);
    sound.reserve(sectors);
    scanSyncs(track, [&](std::uint32_t bit) {
        syncs.push_back(bit);
        soundBlock.push_back(-1);
        std::uint8_t d[kDataBlockBytes];
        if (!decodeTrackBits(track, bit, 1, d, SIZE_MAX) || d[0] != kDataMark ||
            !decodeTrackBits(track, bit, kGcrDataBytes / 5, d, SIZE_MAX))
            return bit + 1;
        soundBlock.back() = static_cast<int>(sound.size());
        std::memcpy(sound.emplace_back().data(), d, sizeof d);
        return bit + static_cast<std::uint32_t>(kGcrDataBytes * 8);
    });
    const std::size_t n = syncs.size();
    if (n == 0) {
        out.clean = false;
        return;
    }
    const std::uint32_t bits = track.length * 8;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t h[8], d[kDataBlockBytes];
        if (!decodeTrackBits(track, syncs[i], 2, h, kHeaderId1 + 1) || h[0] != kHeaderMark) continue;
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
        const int known = soundBlock[(i + 1) % n];
        if (known >= 0) std::memcpy(d, sound[static_cast<std::size_t>(known)].data(), sizeof d);
        const bool valid = known >= 0 || decodeTrackBits(track, data, kGcrDataBytes / 5, d, kDataChecksum + 1);
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
