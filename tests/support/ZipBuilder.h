#ifndef TAMSOR_TESTS_ZIPBUILDER_H
#define TAMSOR_TESTS_ZIPBUILDER_H

// Builds ZIP archives for the tests: members in any order, with any names (duplicates, empty, "../x", "/abs",
// embedded NUL), stored, deflated or of any other method number (whose data is then written as given). Local
// headers, central directory and end record, no data descriptors; zip64 fields and end records where numbers
// need them (or when asked), and members of zeros or after a gap of zeros that writeTo leaves as holes, so that
// an archive reaches past 4 GiB cheaply.

#include <cstdint>
#include <string>
#include <vector>

namespace Tamsor {
namespace Testing {

class ZipBuilder {
  public:
    static const std::uint16_t kStored = 0;
    static const std::uint16_t kDeflated = 8;

    struct Member {
        std::string name;
        std::string data;  // the uncompressed bytes
        std::uint16_t method = kStored;
        std::uint16_t dosTime = 0;     // MS-DOS time and date of the member
        std::uint16_t dosDate = 0x21;  // 1980-01-01
        std::string extra;             // central extra fields, after the zip64 field if one is needed
        std::uint64_t gapBefore = 0;   // zero bytes before the local header
        std::uint64_t zeros = 0;       // when not 0, the data: this many zero bytes, stored
    };

    // For kStored and kDeflated `data` is encoded; any other method writes it as it is (CRC and sizes describe it).
    ZipBuilder& add(const std::string& name, const std::string& data, std::uint16_t method = kStored) {
        return m_members.push_back(Member{name, data, method, 0, 0x21, "", 0, 0}), *this;
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

    std::vector<Member> m_members;
    std::string m_strComment;
    bool m_bZip64 = false;
};

// The little-endian bytes of a number, as a ZIP record holds it (for tests that patch built archives).
std::string le16(std::uint16_t value);
std::string le32(std::uint32_t value);
std::string le64(std::uint64_t value);

// Deterministic pseudo-random bytes (text-like when `text` is true, so that deflate compresses them).
std::string makeContent(std::size_t size, std::uint32_t seed, bool text = true);

}  // namespace Testing
}  // namespace Tamsor

#endif
