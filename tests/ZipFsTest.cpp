// The ZIP file system as a host sees it, for plain and scrambled archives alike (one typed suite): which names
// open which members, what each directory lists and how its listing seeks, entries handed out closed, counted
// entries and their tags, binding and rebinding, existence, and an archive replaced under a bound file system.
// Then plain and scrambled file systems on threads of their own. Closed files and refused opens are in
// ZipFsDiagnosticsTest, which reaches the diagnostic site of each.

#include <zzip/zzip.h>

#include <fstream>

#include "ZipFsFixture.h"

namespace Tamsor::Testing {
namespace {
// Stored order matters to listings; "/docs/a.txt", "../a" and "x/y/z.txt" lie in no directory listed from the
// top, and "docs//" in docs/. Each file holds "the member <name>", but docs/b.txt: 200 KB of deflated text.
ZipBuilder tree() {
    ZipBuilder builder;
    for (const std::string name : {"a.txt", "docs/", "docs/a.txt", "docs/b.txt", "docs/img/", "docs/img/c.bin",
                                   "/docs/a.txt", "../a", ".a", "dup.txt", "dup.txt", "x/y/z.txt", "docs//"}) {
        const bool bBig = name == "docs/b.txt";
        builder.add(name, name.back() == '/' ? "" : bBig ? makeContent(200003, 4) : "the member " + name, bBig ? 8 : 0);
    }
    return builder;
}

template <class FileSystem>
class ZipFsKinds : public ZipFsTest {
  protected:
    ZipFsKinds() : m_strPath(write(m_tree)), m_pFs(new FileSystem) {
        EXPECT_TRUE(m_pFs->setZIPArchive(m_strPath.c_str()));
        for (const ZipBuilder::Member& member : m_tree.members()) m_content.emplace(member.name, member.data);
    }
    std::string write(const ZipBuilder& builder, const std::string& name = "test.zip") const {
        return m_dir.write(name, formFor<FileSystem>(builder.build()));
    }
    const ZipBuilder m_tree = tree();
    std::string m_strPath;
    std::unique_ptr<FileSystem> m_pFs;
    std::map<std::string, std::string> m_content;  // the first member of each name
};
TYPED_TEST_SUITE(ZipFsKinds, FileSystemKinds);

// One leading "/" or "./" is dropped and nothing else is normalised; ZZIP_CASELESS in the flags folds case. A
// name that finds nothing gives null, quietly; both forms of open look names up alike.
TYPED_TEST(ZipFsKinds, NamesLoseOneLeadingSlashOrDotSlashAndNothingElse) {
    // clang-format off
    const std::pair<const char*, const char*> found[] = {{"docs/a.txt", "docs/a.txt"}, {"/docs/a.txt", "docs/a.txt"},
        {"./docs/a.txt", "docs/a.txt"}, {"//docs/a.txt", "/docs/a.txt"}, {".//docs/a.txt", "/docs/a.txt"},
        {"../a", "../a"}, {"/../a", "../a"}, {"./.a", ".a"}};
    // clang-format on
    this->m_log.clear();
    for (const auto& name : found)
        for (FileHandle pFile : {this->m_pFs->open(name.first, 0), this->m_pFs->open(name.first, 0, 0644)}) {
            ASSERT_FALSE(pFile.isNull()) << name.first;
            EXPECT_EQ(name.second, std::string(pFile->getPath()));
            EXPECT_EQ(this->m_content[name.second], readToEnd(*pFile));
        }
    for (const char* name : {"DOCS/A.TXT", "docs//a.txt", "/./docs/a.txt", "docs/./a.txt", "x/../docs/a.txt",
                             "docs/a.txt/", "missing.txt", "", "/"})
        EXPECT_TRUE(this->m_pFs->open(name, 0).isNull() && this->m_pFs->open(name, 0, 0).isNull()) << name;
    FileHandle pCaseless = this->m_pFs->open("DOCS/A.TXT", ZZIP_CASELESS);
    EXPECT_EQ(this->m_content["docs/a.txt"], pCaseless.isNull() ? "<null>" : readToEnd(*pCaseless));
    EXPECT_TRUE(logLines(this->m_log).empty());
}

// A directory lists the members whose parent prefix is exactly its path (less one leading "/"), as stored:
// duplicates twice, odd names as they are, implied directories never.
TYPED_TEST(ZipFsKinds, EachDirectoryListsItsOwnMembersInStoredOrder) {
    const Names top = {"file:a.txt", "dir:docs/", "file:.a", "file:dup.txt", "file:dup.txt"};
    const Names docs = {"file:docs/a.txt", "file:docs/b.txt", "dir:docs/img/", "dir:docs//"};
    // clang-format off
    const std::pair<const char*, Names> cases[] = {
        {"/", top}, {"", top}, {"/docs/", docs}, {"docs/", docs}, {"docs", {}}, {"./docs/", {}}, {"DOCS/", {}},
        {"/nothing/", {}}, {"x/", {}}, {"x/y/", {"file:x/y/z.txt"}}, {"//docs/", {"file:/docs/a.txt"}},
        {"docs/img/", {"file:docs/img/c.bin"}}};
    // clang-format on
    for (const auto& c : cases) {
        DirectoryHandle pDir = this->m_pFs->opendir(c.first);
        EXPECT_EQ(c.second, pDir.isNull() ? Names{"<null>"} : listRest(*pDir)) << "opendir(\"" << c.first << "\")";
    }
}

// Entries are handed out closed, with the member name as path, until opened by it; a file opened again switches
// members, or is left closed with no path. A listing's end is sticky, rewind starts it again, closing ends it.
TYPED_TEST(ZipFsKinds, HandedOutEntriesAreClosedUntilOpenedByTheirPath) {
    DirectoryHandle pRoot = this->m_pFs->opendir("/");
    FileHandle pFile = pRoot->read();
    DirectoryHandle pDocs = pRoot->read();
    ASSERT_FALSE(pFile.isNull() || pDocs.isNull());
    char byte;
    EXPECT_TRUE(pFile->read(&byte, 1) == -1 && pFile->close() == -1 && pDocs->read().isNull() && pDocs->close() == -1);
    ASSERT_EQ(0, pFile->open(pFile->getPath(), 0));
    EXPECT_EQ(this->m_content["a.txt"], readToEnd(*pFile));
    ASSERT_EQ(0, pFile->open("./.a", 0));
    EXPECT_EQ(this->m_content[".a"], readToEnd(*pFile));
    EXPECT_TRUE(pFile->open("missing.txt", 0) == -1 && std::string(pFile->getPath()).empty() && pFile->close() == -1);
    ASSERT_EQ(0, pDocs->open(pDocs->getPath()));
    EXPECT_EQ(4u, listRest(*pDocs).size());
    EXPECT_TRUE(pDocs->read().isNull());
    pDocs->rewind();
    EXPECT_EQ("docs/a.txt", std::string(pDocs->read()->getPath()));
    EXPECT_TRUE(pRoot->close() == 0 && pRoot->close() == -1);
    pRoot->rewind();
    EXPECT_TRUE(pRoot->read().isNull());
}

// A listing is sought only to positions that zziplib's own walk reports (from a member of another directory the
// walk filters on to its own); any other value leaves the walk where it was: at its start, middle or end.
TYPED_TEST(ZipFsKinds, ListingsSeekOnlyToPositionsTheWalkReports) {
    std::map<std::string, long> positions;  // the positions of a plain copy's walk are the scrambled one's
    ZZIP_DIR* pDir = zzip_dir_open(this->m_dir.write("plain.zip", tree().build()).c_str(), nullptr);
    ZZIP_DIRENT dirent;
    for (long at = zzip_telldir(pDir); zzip_dir_read(pDir, &dirent); at = zzip_telldir(pDir))
        positions[dirent.d_name] = at;
    zzip_dir_close(pDir);
    const Names docs = {"file:docs/a.txt", "file:docs/b.txt", "dir:docs/img/", "dir:docs//"};
    DirectoryHandle pDocs = this->m_pFs->opendir("docs/");
    pDocs->seek(positions.at("docs/img/"));
    EXPECT_EQ(Names(docs.begin() + 2, docs.end()), listRest(*pDocs));
    for (const long at : {positions.at("a.txt"), positions.at("docs/a.txt")}) {
        pDocs->seek(at);
        EXPECT_EQ(docs, listRest(*pDocs));
    }
    for (const long at : {-1L, 3L, 1L << 40, positions.at("docs/b.txt") + 1}) {
        pDocs->rewind();
        pDocs->seek(at);
        EXPECT_EQ(docs, listRest(*pDocs)) << at;
        pDocs->seek(at);
        EXPECT_TRUE(pDocs->read().isNull()) << at;
        pDocs->rewind();
        pDocs->read();
        pDocs->seek(at);
        EXPECT_EQ(Names(docs.begin() + 1, docs.end()), listRest(*pDocs)) << at;
    }
}

// An entry counts from construction to destruction, whichever handle goes last; file systems, files and
// directories come from the allocator under their own tags.
TYPED_TEST(ZipFsKinds, EntriesCountWhileAnyHandleLivesAndComeFromTheirTags) {
    const char* own =
        std::is_same<TypeParam, ZIPEncryptedFileSystem>::value ? "ZIPEncryptedFileSystem" : "ZIPFileSystem";
    const auto live = [own] {  // the live blocks under this kind's tag, files' and directories'
        std::string blocks;
        for (const char* tag : {own, "\"ZIPFileSystemImpl::File\"", "\"ZIPFileSystemImpl::Directory\""})
            blocks += std::to_string(StaticMemAllocator::statsFor(tag).liveBlocks) + " ";
        return blocks;
    };
    {
        FileHandle pFile = this->m_pFs->open("a.txt", 0), pCopy = pFile;
        EntryHandle pEntry = pFile;
        DirectoryHandle pRoot = this->m_pFs->opendir("/");
        EntryHandle pA = pRoot->read(), pDocs = pRoot->read();
        EXPECT_EQ(4u, this->m_pFs->getNbOfEntriesOpen());
        EXPECT_EQ("1 2 2 ", live());
        pFile = pCopy = FileHandle();
        pRoot = DirectoryHandle();
        EXPECT_EQ(3u, this->m_pFs->getNbOfEntriesOpen());
    }
    EXPECT_EQ(0u, this->m_pFs->getNbOfEntriesOpen());
    this->m_pFs.reset();
    EXPECT_EQ("0 0 0 ", live());
}

// A file opened before a rebind keeps reading its own archive; the path is kept as given. A failed bind unbinds.
TYPED_TEST(ZipFsKinds, RebindingSwitchesArchivesAndOpenFilesKeepTheirs) {
    FileHandle pFromA = this->m_pFs->open("docs/b.txt", 0);
    this->write(ZipBuilder().add("docs/b.txt", "B").add("b.txt", "b"), "b.zip");
    const std::string unnormalised = this->m_dir.path() + "//./b.zip";
    ASSERT_TRUE(this->m_pFs->setZIPArchive(unnormalised.c_str()));
    EXPECT_EQ(unnormalised, this->m_pFs->getZIPArchive());
    EXPECT_TRUE(sameBytes(this->m_content["docs/b.txt"], readToEnd(*pFromA)));
    EXPECT_EQ("B", readToEnd(*this->m_pFs->open("docs/b.txt", 0)));
    EXPECT_EQ((Names{"file:b.txt"}), listRest(*this->m_pFs->opendir("/")));
    EXPECT_FALSE(this->m_pFs->setZIPArchive(this->m_dir.path().c_str()));  // a real directory is no archive
    EXPECT_FALSE(this->m_pFs->setZIPArchive(this->m_dir.write("text.zip", "text").c_str()));
    EXPECT_EQ("", this->m_pFs->getZIPArchive());
    EXPECT_TRUE(this->m_pFs->open("b.txt", 0).isNull() && this->m_pFs->opendir("/").isNull() &&
                !this->m_pFs->exists("b.txt"));
    ASSERT_EQ(0, pFromA->lseek(0, SEEK_SET));
    EXPECT_TRUE(sameBytes(this->m_content["docs/b.txt"], readToEnd(*pFromA)));
}

// While the archive can be opened again every path exists; once the file is gone, the bound handle answers.
TYPED_TEST(ZipFsKinds, ExistsIsTrueForEveryPathUntilTheArchiveFileIsGone) {
    for (const char* name : {"a.txt", "/a.txt", "docs/", "nothing", "/no/such/dir/", "", "/"})
        EXPECT_TRUE(this->m_pFs->exists(name)) << name;
    ASSERT_EQ(0, unlink(this->m_strPath.c_str()));
    EXPECT_TRUE(this->m_pFs->exists("a.txt") && this->m_pFs->exists("/docs/b.txt"));
    EXPECT_FALSE(this->m_pFs->exists("nothing") || this->m_pFs->exists("docs/c.txt"));
    EXPECT_TRUE(this->m_pFs->opendir("/").isNull());
    EXPECT_TRUE(sameBytes(this->m_content["docs/b.txt"], readToEnd(*this->m_pFs->open("docs/b.txt", 0))));
}

// Each directory opens the archive again from its path and lists what it finds there now: an archive replaced by
// another (renamed over, or rewritten in the same file) lists as it now stands. File members are still opened
// (to be listed) through the bound archive: one that it does not hold is skipped with the refusal line. An
// archive that zziplib would list in part lists nothing.
TYPED_TEST(ZipFsKinds, ADirectoryListsTheArchiveAsItNowStands) {
    ASSERT_EQ(0, rename(this->write(ZipBuilder().add("a.txt", "alpha").addDirectory("new/"), "next.zip").c_str(),
                        this->m_strPath.c_str()));
    EXPECT_EQ((Names{"file:a.txt", "dir:new/"}), listRest(*this->m_pFs->opendir("/")));
    ZipBuilder rewritten;
    rewritten.add("a.txt", "alpha").add("only-new.txt", "n").addDirectory("newer/");
    std::ofstream(this->m_strPath, std::ios::binary | std::ios::trunc) << formFor<TypeParam>(rewritten.build());
    this->m_log.clear();
    EXPECT_EQ((Names{"file:a.txt", "dir:newer/"}), listRest(*this->m_pFs->opendir("/")));
    const Names lines = logLines(this->m_log);
    EXPECT_TRUE(lines.size() == 1 && lines[0].find(":370 Current entry only-new.txt is neither") != std::string::npos);
    EXPECT_TRUE(this->m_pFs->exists("newer/"));
    std::string partial = rewritten.add("more.txt", "").build();
    partial.replace(partial.size() - 14, 4, le16(3) + le16(3));
    std::ofstream(this->m_strPath, std::ios::binary | std::ios::trunc) << formFor<TypeParam>(partial);
    EXPECT_TRUE(this->m_pFs->opendir("/").isNull());
}

// Four threads, each with a file system of its own on a copy of its own, two plain and two scrambled, bind, list
// and read again and again. The scrambled ones share the descriptor table; all share the allocator and loggers,
// and each converts and drops copies of one handle of a shared file system: exactly one drop deletes its entry.
TEST_F(ZipFsTest, PlainAndScrambledFileSystemsOnSeparateThreads) {
    typedef ManagedHandle<Object, TSReferenceCount> ObjectHandle;
    const std::string plain = tree().build(), content = tree().members()[3].data;
    ZIPFileSystem shared;
    ASSERT_TRUE(shared.setZIPArchive(m_dir.write("shared.zip", plain).c_str()));
    FileHandle pShared = shared.open("a.txt", 0);
    std::atomic<int> failures(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        const std::string path = m_dir.write(std::to_string(t) + ".zip", t % 2 ? scrambled(plain) : plain);
        threads.emplace_back([&failures, path, t, &content, pOwn = pShared]() mutable {
            for (int round = 0; round < 4; ++round) {
                std::unique_ptr<ZIPFileSystem> pFs(t % 2 ? new ZIPEncryptedFileSystem : new ZIPFileSystem);
                for (int bind = 0; bind < 2; ++bind) {  // the second bind replaces the first archive handle
                    const DirectoryHandle pDocs =
                        pFs->setZIPArchive(path.c_str()) ? pFs->opendir("docs/") : DirectoryHandle();
                    const FileHandle pFile = pFs->open("docs/b.txt", 0);
                    if (pDocs.isNull() || listRest(*pDocs).size() != 4 || pFile.isNull() ||
                        readToEnd(*pFile) != content)
                        ++failures;
                }
                for (int i = 0; i < 100; ++i) {
                    const EntryHandle pEntry(pOwn);
                    failures +=
                        FileHandle(ObjectHandle(pEntry)).get() != pOwn.get() || !DirectoryHandle(pEntry).isNull();
                }
            }
            pOwn = FileHandle();
        });
    }
    pShared = FileHandle();
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(0u, shared.getNbOfEntriesOpen());
    EXPECT_TRUE(logLines(m_log).empty());
}

}  // namespace
}  // namespace Tamsor::Testing
