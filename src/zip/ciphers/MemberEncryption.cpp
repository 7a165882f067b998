#include "MemberEncryption.h"

namespace Tamsor {

ReadStatus openEncryption(const ArchiveMember&, const ArchiveFile&, std::uint64_t, const std::string&,
                          MemberEncryption&) {
    return ReadStatus::Encrypted;
}

}  // namespace Tamsor
