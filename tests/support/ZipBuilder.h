#ifndef TAMSOR_TESTS_ZIPBUILDER_H
#define TAMSOR_TESTS_ZIPBUILDER_H

// Builds ZIP archives for the tests: members in any order, with any names (duplicates, empty, "../x", "/abs",
// embedded NUL), stored, deflated or of any other method number (whose data is then written as given). Local
// headers (with data descriptors when asked, or another name than the central directory's), central directory
// and end record; zip64 fields and end records where numbers need them (or when asked), and members of zeros or
// after a gap of zeros that writeTo leaves as holes, so that an archive reaches past 4 GiB cheaply.

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Tamsor {
namespace Testing {

// The little-endian bytes of a number, as a ZIP record holds it (for tests that patch built archives).
inline std::string le16(std::uint16_t value) {
    return std::string{static_cast<char>(value & 0xff), static_cast<char>(value >> 8)};
}
inline std::string le32(std::uint32_t value) {
    return le16(static_cast<std::uint16_t>(value)) + le16(static_cast<std::uint16_t>(value >> 16));
}
inline std::string le64(std::uint64_t value) {
    return le32(static_cast<std::uint32_t>(value)) + le32(static_cast<std::uint32_t>(value >> 32));
}

// Deterministic pseudo-random bytes (text-like when `text` is true, so that deflate compresses them).
inline std::string makeContent(std::size_t size, std::uint32_t seed, bool text = true) {
    static const char* const kWords[] = {"archive", "entry",   "stream", "block", "header", "offset", "index",
                                         "member",  "deflate", "stored", "name",  "size",   "read",   "seek",
                                         "the",     "of",      "a",      "to",    "and",    "zip"};
    std::uint32_t state = seed * 2654435761u + 0x9e3779b9u;  // xorshift must not start from zero
    if (state == 0) state = 1;
    std::string out;
    while (out.size() < size) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        if (text) out += kWords[state % 20] + std::string(1, (state >> 16) % 12 == 0 ? '\n' : ' ');
        if (!text) out.push_back(static_cast<char>(state & 0xff));
    }
    out.resize(size);
    return out;
}

class ZipBuilder {
  public:
    static const std::uint16_t kStored = 0;
    static const std::uint16_t kDeflated = 8;
    // After the data: CRC-32 and 32-bit sizes (with the signature PK\x07\x08 or without), flag bit 3 set, and
    // zeros for them in the local header.
    enum class Descriptor { None, Bare, Signed };

    struct Member {
        std::string name;
        std::string data;  // the uncompressed bytes
        std::uint16_t method = kStored;
        std::uint16_t dosTime = 0;     // MS-DOS time and date of the member
        std::uint16_t dosDate = 0x21;  // 1980-01-01
        std::string extra;             // central extra fields, after the zip64 field if one is needed
        std::uint64_t gapBefore = 0;   // zero bytes before the local header
        std::uint64_t zeros = 0;       // when not 0, the data: this many zero bytes, stored
        std::uint16_t flags = 0;       // general purpose flags of both headers (bit 11: a UTF-8 name)
        Descriptor descriptor = Descriptor::None;
        std::string localName;       // when not empty, the local header's name (the central directory keeps `name`)
        std::uint32_t unixMode = 0;  // when not 0, made on Unix (host 3) with this st_mode in the attributes
    };

    // For kStored and kDeflated `data` is encoded; any other method writes it as it is (CRC and sizes describe it).
    ZipBuilder& add(const std::string& name, const std::string& data, std::uint16_t method = kStored) {
        return m_members.push_back(Member{name, data, method, 0, 0x21, "", 0, 0, 0, Descriptor::None, ""}), *this;
    }
    ZipBuilder& addDirectory(const std::string& name) { return add(name, std::string()); }  // give the "/"
    ZipBuilder& setComment(const std::string& comment) { return m_strComment = comment, *this; }
    // Writes zip64 end records even when no number needs them (as Info-ZIP does when writing to a pipe).
    ZipBuilder& setZip64(bool bZip64) { return m_bZip64 = bZip64, *this; }
    Member& last() { return m_members.back(); }  // to set the other fields of the member added last
    const std::vector<Member>& members() const { return m_members; }

    // The archive's bytes; throws std::runtime_error past 1 GiB (write those with writeTo).
    std::string build() const;
    // Writes the archive to `path`, zeros of gaps and members as holes; throws std::runtime_error when it cannot.
    void writeTo(const std::string& path) const;

  private:
    struct Piece {
        std::uint64_t offset;
        std::string bytes;
    };
    std::vector<Piece> layout() const;  // runs of bytes at their offsets, in order, zeros between them
    static constexpr std::uint64_t kMarker = 0xFFFFFFFF;

    // zlib takes lengths as uInt: a mebibyte at a time. Zeros are a mebibyte's CRC, combined.
    static std::uint32_t crcOf(const std::string& data, std::uint64_t zeros) {
        static const std::string block(1 << 20, '\0');
        static const uLong blockCrc = crc32(0, reinterpret_cast<const Bytef*>(block.data()), 1 << 20);
        uLong crc = crc32(0, Z_NULL, 0);
        for (std::size_t at = 0; at < data.size(); at += 1 << 20)
            crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data() + at),
                        static_cast<uInt>(std::min<std::size_t>(data.size() - at, 1 << 20)));
        for (; zeros >= block.size(); zeros -= block.size()) crc = crc32_combine64(crc, blockCrc, block.size());
        return static_cast<std::uint32_t>(crc32(crc, reinterpret_cast<const Bytef*>(block.data()), uInt(zeros)));
    }

  public:
    // Raw deflate (no zlib header or trailer), as ZIP method 8 wants it.
    static std::string deflated(const std::string& data) {
        z_stream z{};
        if (deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("ZipBuilder: deflateInit2 failed");
        std::string out(deflateBound(&z, static_cast<uLong>(data.size())), '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        z.avail_in = static_cast<uInt>(data.size());
        z.next_out = reinterpret_cast<Bytef*>(&out[0]);
        z.avail_out = static_cast<uInt>(out.size());
        const int status = deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        if (status != Z_STREAM_END) throw std::runtime_error("ZipBuilder: deflate did not finish");
        return out;
    }

  private:
    // A number that does not fit in 32 bits becomes the marker, its value going into the zip64 field.
    static std::uint32_t fitted(std::uint64_t value, std::string& zip64) {
        if (value < kMarker) return static_cast<std::uint32_t>(value);
        zip64 += le64(value);
        return static_cast<std::uint32_t>(kMarker);
    }

    static std::string zip64Field(const std::string& values) {
        return values.empty() ? values : le16(1) + le16(static_cast<std::uint16_t>(values.size())) + values;
    }

    // The fields a local and a central header share, from "version needed" to "extra field length".
    static std::string commonFields(const Member& m, const std::string& name, std::uint32_t crc,
                                    std::uint32_t compressed, std::uint32_t size, std::size_t extraLength) {
        const std::uint16_t flags = m.flags | (m.descriptor == Descriptor::None ? 0 : 0x0008);
        return le16(20) + le16(flags) + le16(m.method) + le16(m.dosTime) + le16(m.dosDate) + le32(crc) +
               le32(compressed) + le32(size) + le16(static_cast<std::uint16_t>(name.size())) +
               le16(static_cast<std::uint16_t>(extraLength));
    }

    std::vector<Member> m_members;
    std::string m_strComment;
    bool m_bZip64 = false;
};

inline std::vector<ZipBuilder::Piece> ZipBuilder::layout() const {
    std::vector<Piece> pieces;
    std::uint64_t end = 0;  // where the next piece goes
    std::string central, ignored;
    for (const Member& m : m_members) {
        const std::string payload = m.zeros ? "" : m.method == kDeflated ? deflated(m.data) : m.data;
        const std::uint64_t size = m.zeros ? m.zeros : m.data.size(), compressed = m.zeros ? m.zeros : payload.size();
        const std::uint64_t offset = end + m.gapBefore;
        const std::uint32_t crc = crcOf(m.data, m.zeros);
        // A zip64 local header gives both sizes in its zip64 field; one with a data descriptor gives none.
        const bool bDescribed = m.descriptor != Descriptor::None;
        const bool bLocal64 = !bDescribed && (size >= kMarker || compressed >= kMarker);
        const std::string local64 = zip64Field(bLocal64 ? le64(size) + le64(compressed) : "");
        const std::string localName = m.localName.empty() ? m.name : m.localName;
        const std::uint32_t localCompressed = bDescribed ? 0 : bLocal64 ? kMarker : uint32_t(compressed);
        const std::uint32_t localSize = bDescribed ? 0 : bLocal64 ? kMarker : uint32_t(size);
        pieces.push_back(Piece{
            offset, "PK\x03\x04" +
                        commonFields(m, localName, bDescribed ? 0 : crc, localCompressed, localSize, local64.size()) +
                        localName + local64 + payload});
        end = offset + pieces.back().bytes.size() + m.zeros;
        if (bDescribed) {
            pieces.push_back(Piece{end, (m.descriptor == Descriptor::Signed ? "PK\x07\x08" : "") + le32(crc) +
                                            le32(uint32_t(compressed)) + le32(uint32_t(size))});
            end += pieces.back().bytes.size();
        }
        std::string zip64;
        const std::uint32_t size32 = fitted(size, zip64), compressed32 = fitted(compressed, zip64);
        const std::uint32_t offset32 = fitted(offset, zip64);
        const std::string extra = zip64Field(zip64) + m.extra;
        const bool bDirectory = !m.name.empty() && m.name.back() == '/';
        central += "PK\x01\x02" + le16(m.unixMode ? 0x031E : 20) +
                   commonFields(m, m.name, crc, compressed32, size32, extra.size()) + le16(0) + le16(0) + le16(0) +
                   le32(m.unixMode << 16 | (bDirectory ? 0x10 : 0)) + le32(offset32) + m.name + extra;
    }
    const std::uint64_t count = m_members.size(), centralSize = central.size();
    if (m_bZip64 || count > 0xFFFF || centralSize >= kMarker || end >= kMarker)
        central += "PK\x06\x06" + le64(44) + le16(45) + le16(45) + le32(0) + le32(0) + le64(count) + le64(count) +
                   le64(centralSize) + le64(end) + "PK\x06\x07" + le32(0) + le64(end + centralSize) + le32(1);
    const std::string count16 = le16(static_cast<std::uint16_t>(std::min<std::uint64_t>(count, 0xFFFF)));
    central += "PK\x05\x06" + le32(0) + count16 + count16 + le32(fitted(centralSize, ignored)) +
               le32(fitted(end, ignored)) + le16(static_cast<std::uint16_t>(m_strComment.size())) + m_strComment;
    pieces.push_back(Piece{end, central});
    return pieces;
}

inline std::string ZipBuilder::build() const {
    const std::vector<Piece> pieces = layout();
    const std::uint64_t size = pieces.back().offset + pieces.back().bytes.size();
    if (size > (1u << 30)) throw std::runtime_error("ZipBuilder: past 1 GiB, write the archive with writeTo");
    std::string archive(static_cast<std::size_t>(size), '\0');
    for (const Piece& piece : pieces) archive.replace(piece.offset, piece.bytes.size(), piece.bytes);
    return archive;
}

inline void ZipBuilder::writeTo(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    bool bWritten = fd >= 0;
    for (const Piece& piece : layout())
        bWritten = bWritten && ::pwrite(fd, piece.bytes.data(), piece.bytes.size(), off_t(piece.offset)) ==
                                   ssize_t(piece.bytes.size());
    if (fd >= 0 && ::close(fd) != 0) bWritten = false;
    if (!bWritten) throw std::runtime_error("ZipBuilder: cannot write " + path);
}

}  // namespace Testing
}  // namespace Tamsor

#endif
