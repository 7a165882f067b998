#ifndef TAMSOR_TOOLS_ARCHIVEFACTS_H
#define TAMSOR_TOOLS_ARCHIVEFACTS_H

// What zipfs and its mount show of the members of one index, by id: each name as text (MemberFacts' rules),
// each refusal, members found by a stored or a decoded name, and each directory's members.
//
// An implied directory's name is decoded by the same rules (it has no flags and no Unicode field); where a
// member below it has a text other than its stored bytes, the directory takes the matching leading part of the
// first such member's text instead, so that it matches its contents.
//
// Without --encoding, names that are not valid UTF-8 are read in the code page guessed from all of them together
// (NameCharset); the guess is made once, here, and only the texts are kept.
//
// Memory, beyond the index: the texts that are not the stored names (DecodedNames: nothing when there are
// none). Building costs one pass over the members, a check of each name (UTF-8, or the decoder), and a guess of
// the code page over at most kSampleBytes of names; names are copied only where their text differs. Refusals are
// judged when asked for, a lookup in the index each.
//
// Threads: built on one thread; after that every call may come from any thread (what is built on first use
// is built once, under std::call_once). The index and the decoder must outlive this.

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "DecodedNames.h"
#include "MemberFacts.h"
#include "NameCharset.h"
#include "TextEncoding.h"
#include "tamsor/ArchiveIndex.h"

namespace Tamsor {
namespace Tool {

class ArchiveFacts {
  public:
    // `pDecoder` (--encoding) may be null. `pSample` holds the names of the whole archive when the index keeps
    // only part of it (so that every look at an archive guesses the same code page); null: the index's names.
    ArchiveFacts(const ArchiveIndex& index, const NameDecoder* pDecoder, const NameSample* pSample = nullptr);

    const ArchiveIndex& index() const { return m_rIndex; }
    const MemberRecord& record(MemberId id) const { return m_rIndex.record(id); }
    // The stored members are ids 0 to storedCount() - 1; the implied directories follow.
    MemberId storedCount() const { return m_storedCount; }

    // The member's name as UTF-8 text (directories end in "/"; control bytes are left to the caller); "" for
    // the top level. O(1).
    std::string_view name(MemberId id) const { return m_names.name(id); }
    // Costs a lookup of the member's name in the index (and once, if the archive holds names the index finds
    // only as another kind, "a/" after a file "a", a pass over all of them).
    Refusal refusal(MemberId id) const;

    // The member at `path`, a stored or a decoded name: a member stored under `path` itself (leading "/" and
    // all) first; else one leading "/" or "./" is ignored, and a directory is found with or without its
    // trailing "/"; "" gives the top level. kNoMember when there is none. Costs a
    // hash or two of the path; the first lookup by a decoded name also hashes every name that differs.
    MemberId find(std::string_view path) const;

    // Every member directly inside directory `id`, stored ones in index order (later members of one name
    // included: a later directory of a name has no members of its own, they are the first one's), then the
    // implied directories. Empty for a file.
    MemberIds children(MemberId id) const;

  private:
    // How an earlier member of the same name shows: by the index's lookup, or (an odd name) not that way.
    enum class Earlier { None, Same, Odd };

    NameCharset guessCharset(const NameDecoder* pDecoder, const NameSample* pSample) const;
    void decodeNames(const NameDecoder* pDecoder, const NameCharset& charset);
    void nameImpliedDirectories();
    Earlier earlierOfName(MemberId id) const;
    bool isOddDuplicate(MemberId id) const;
    void findOddDuplicates() const;
    MemberId findUndecoded(std::string_view key) const;

    const ArchiveIndex& m_rIndex;
    MemberId m_storedCount = 0;
    DecodedNames m_names;
    mutable std::once_flag m_oddDuplicatesFound;
    mutable std::vector<MemberId> m_oddDuplicates;  // in id order: duplicates the index's lookup does not tell
};

// The member stored under `storedName` (the first of several), looked up as stored whatever it starts with;
// kNoMember when none is (or when it ends in "/" and the first of its name is a file). Costs a hash of it.
MemberId findStored(const ArchiveIndex& index, std::string_view storedName);

}  // namespace Tool
}  // namespace Tamsor

#endif
