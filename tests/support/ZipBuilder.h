#ifndef TAMSOR_TESTS_ZIPBUILDER_H
#define TAMSOR_TESTS_ZIPBUILDER_H

// Builds ZIP archives in memory for the tests: members in any order, with any names (duplicates, empty,
// "../x", "/abs", embedded NUL), stored, deflated or with any other method number (whose data is then
// written as given, so that zziplib refuses to open it). Plain ZIP: local headers, central directory and
// end record, no data descriptors, no zip64.

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
    };

    // Adds a member; for kStored and kDeflated `data` is encoded, for any other method it is written as it
    // is (and the CRC and sizes describe it as if it were the member's content).
    ZipBuilder& add(const std::string& name, const std::string& data, std::uint16_t method = kStored);
    // Adds an empty stored member named `name` (give the trailing "/" yourself).
    ZipBuilder& addDirectory(const std::string& name);
    ZipBuilder& setComment(const std::string& comment);

    const std::vector<Member>& members() const { return m_members; }

    // The archive's bytes.
    std::string build() const;
    // Writes the archive to `path`; throws std::runtime_error when it cannot.
    void writeTo(const std::string& path) const;

  private:
    std::vector<Member> m_members;
    std::string m_strComment;
};

// The little-endian bytes of a number, as a ZIP record holds it (for tests that patch built archives).
std::string le16(std::uint16_t value);
std::string le32(std::uint32_t value);

// Deterministic pseudo-random bytes (text-like when `text` is true, so that deflate compresses them).
std::string makeContent(std::size_t size, std::uint32_t seed, bool text = true);

}  // namespace Testing
}  // namespace Tamsor

#endif
