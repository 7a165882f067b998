#ifndef TAMSOR_TESTS_ZIPBOMB_H
#define TAMSOR_TESTS_ZIPBOMB_H

// A zip bomb of overlapping members: `count` (up to 26) deflated members named "a", "b", ..., whose local
// headers follow one another, each member's deflate stream a stored block (not the last) that quotes the next
// member's local header, then that member's stream, down to one kernel that all share: `kernelSize` bytes of
// 'a' deflated. Every member holds the headers after its own and the kernel's output, so that the archive
// inflates to about count * kernelSize bytes; every central entry points to its own local header, and every
// CRC-32 and size is right.

#include "ZipBuilder.h"

namespace Tamsor {
namespace Testing {

inline std::string zipBomb(std::size_t count, std::size_t kernelSize) {
    const std::string output(kernelSize, 'a');
    std::string data = ZipBuilder::deflated(output);  // the compressed data of the member at hand
    std::uint64_t size = kernelSize;
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(output.data()), static_cast<uInt>(kernelSize));
    std::vector<std::string> common(count), locals(count);  // from "version needed" to "extra field length"
    // From the last member back: a member's header holds its CRC-32 and sizes, which take in the headers after it.
    for (std::size_t i = count; i-- > 0;) {
        common[i] = le16(20) + le16(0) + le16(8) + le32(0x210000) + le32(static_cast<std::uint32_t>(crc)) +
                    le32(static_cast<std::uint32_t>(data.size())) + le32(static_cast<std::uint32_t>(size)) + le16(1) +
                    le16(0);
        locals[i] = "PK\x03\x04" + common[i] + char('a' + i);
        if (i == 0) break;
        const std::uint16_t length = static_cast<std::uint16_t>(locals[i].size());
        data = '\0' + le16(length) + le16(static_cast<std::uint16_t>(~length)) + locals[i] + data;
        crc = crc32_combine(crc32(0, reinterpret_cast<const Bytef*>(locals[i].data()), length), crc, uLong(size));
        size += length;
    }
    const std::string archive = locals[0] + data;
    std::string central;
    for (std::size_t i = 0, offset = 0; i < count; offset += locals[i++].size() + 5)
        central += "PK\x01\x02" + le16(20) + common[i] + le16(0) + le32(0) + le32(0) +
                   le32(static_cast<std::uint32_t>(offset)) + char('a' + i);
    const std::string count16 = le16(static_cast<std::uint16_t>(count));
    return archive + central + "PK\x05\x06" + le32(0) + count16 + count16 +
           le32(static_cast<std::uint32_t>(central.size())) + le32(static_cast<std::uint32_t>(archive.size())) +
           le16(0);
}

}  // namespace Testing
}  // namespace Tamsor

#endif
