// Archives made by the zip command-line tool, read through the ZIP file system and compared with what unzip
// reports for the same archives: the names and kinds reachable by walking from the root, and every file's
// bytes.

#include <sys/stat.h>

#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ZipFsFixture.h"

namespace Tamsor {
namespace Testing {
namespace {

typedef std::map<std::string, bool> Kinds;  // member name -> is a directory

bool haveCommand(const char* name) {
    int status = -1;
    runCommand(std::string("command -v ") + name + " >/dev/null 2>&1", &status);
    return status == 0;
}

std::string quoted(const std::string& text) {
    return "'" + text + "'";  // the tree's names hold no quote
}

class InfoZipConformanceTest : public ZipFsTest {
  protected:
    void SetUp() override {
        if (!haveCommand("zip") || !haveCommand("unzip")) { GTEST_SKIP() << "zip or unzip is not installed"; }
        makeTree();
    }

    // Three levels of folders under two top folders, 30 files of 0 to 300 KiB (text and binary), one empty
    // folder.
    void makeTree() {
        const std::vector<std::pair<std::string, int>> folders = {
            {"", 5},       {"alpha/", 5},         {"alpha/beta/", 4},         {"alpha/beta/gamma/", 4},
            {"delta/", 4}, {"delta/epsilon/", 4}, {"delta/epsilon/zeta/", 4},
        };
        ASSERT_EQ(mkdir(m_dir.file("tree").c_str(), 0755), 0);
        ASSERT_EQ(mkdir(m_dir.file("tree/empty").c_str(), 0755), 0);
        unsigned int uiIndex = 0;
        for (const auto& folder : folders) {
            if (!folder.first.empty()) { ASSERT_EQ(mkdir(m_dir.file("tree/" + folder.first).c_str(), 0755), 0); }
            for (int i = 0; i < folder.second; ++i, ++uiIndex) {
                // Sizes spread over 0..300 KiB, both ends included.
                const std::size_t size =
                    uiIndex == 0 ? 0 : (uiIndex == 1 ? 300 * 1024 : (uiIndex * 104729u) % (300 * 1024));
                const bool bText = uiIndex % 3 != 2;
                const std::string name = folder.first + "file" + std::to_string(uiIndex) + (bText ? ".txt" : ".bin");
                m_dir.write("tree/" + name, makeContent(size, uiIndex + 100, bText));
            }
        }
        ASSERT_EQ(uiIndex, 30u);
    }

    // Runs zip in the tree; returns the archive's path.
    std::string zipTree(const std::string& archiveName, const std::string& options) {
        int status = -1;
        runCommand("cd " + quoted(m_dir.file("tree")) + " && zip -q -r " + options + " ../" + archiveName + " .",
                   &status);
        EXPECT_EQ(status, 0) << "zip " << options;
        return m_dir.file(archiveName);
    }

    // The archive's names and kinds as unzip lists them.
    static Kinds unzipNames(const std::string& archive) {
        Kinds kinds;
        std::istringstream lines(runCommand("unzip -Z1 " + quoted(archive)));
        std::string name;
        while (std::getline(lines, name)) {
            if (!name.empty()) kinds[name] = name.back() == '/';
        }
        return kinds;
    }

    static std::string unzipBytes(const std::string& archive, const std::string& name) {
        return runCommand("unzip -p " + quoted(archive) + " " + quoted(name));
    }

    // Walks `directory` and every directory it hands out (each opened by its own path).
    static void walk(VirtualFileSystem::Directory& directory, Kinds& found) {
        for (EntryHandle pEntry = directory.read(); !pEntry.isNull(); pEntry = directory.read()) {
            const std::string name = pEntry->getPath();
            EXPECT_TRUE(found.emplace(name, pEntry->isDirectory()).second) << "listed twice: " << name;
            if (!pEntry->isDirectory()) continue;
            DirectoryHandle pSub = pEntry;
            ASSERT_FALSE(pSub.isNull()) << name;
            ASSERT_EQ(pSub->open(name.c_str()), 0) << name;
            walk(*pSub, found);
        }
    }

    static Kinds walkFromRoot(ZIPFileSystem& fs) {
        Kinds found;
        DirectoryHandle pRoot = fs.opendir("/");
        EXPECT_FALSE(pRoot.isNull());
        if (!pRoot.isNull()) walk(*pRoot, found);
        return found;
    }

    // Reads each file named in `kinds` through the file system and compares it with unzip's bytes and with
    // the file in the tree.
    static void expectSameFiles(ZIPFileSystem& fs, const std::string& archive, const Kinds& kinds,
                                const std::string& tree) {
        for (const auto& kind : kinds) {
            if (kind.second) continue;
            SCOPED_TRACE(kind.first);
            FileHandle pFile = fs.open(kind.first.c_str(), 0);
            ASSERT_FALSE(pFile.isNull());
            const std::string bytes = readToEnd(*pFile, 65536);
            EXPECT_TRUE(sameBytes(bytes, unzipBytes(archive, kind.first)));
            EXPECT_TRUE(sameBytes(bytes, readFile(tree + "/" + kind.first)));
        }
    }
};

TEST_F(InfoZipConformanceTest, WithDirectoryMembersEveryMemberIsReachableFromTheRoot) {
    const std::string archive = zipTree("with.zip", "");
    const Kinds listed = unzipNames(archive);
    ASSERT_EQ(listed.size(), 30u + 7u);  // 30 files, 6 folders and the empty one
    ASSERT_EQ(listed.count("empty/"), 1u);
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(archive);
    ASSERT_TRUE(pFs);

    EXPECT_EQ(walkFromRoot(*pFs), listed);
    expectSameFiles(*pFs, archive, listed, m_dir.file("tree"));
    EXPECT_EQ(pFs->getNbOfEntriesOpen(), 0u);
}

TEST_F(InfoZipConformanceTest, WithoutDirectoryMembersOnlyTopLevelFilesAreReachable) {
    const std::string archive = zipTree("nodirs.zip", "-D");
    const Kinds listed = unzipNames(archive);
    ASSERT_EQ(listed.size(), 30u);
    Kinds topLevel;
    for (const auto& kind : listed) {
        ASSERT_FALSE(kind.second) << kind.first;
        if (kind.first.find('/') == std::string::npos) topLevel.insert(kind);
    }
    ASSERT_EQ(topLevel.size(), 5u);
    std::unique_ptr<ZIPFileSystem> pFs = bindTo(archive);
    ASSERT_TRUE(pFs);

    EXPECT_EQ(walkFromRoot(*pFs), topLevel);
    // Every file, nested or not, still opens by name and reads as unzip reads it; a folder opened by name lists
    // its own files although no member stands for it.
    expectSameFiles(*pFs, archive, listed, m_dir.file("tree"));
    DirectoryHandle pAlpha = pFs->opendir("alpha/");
    ASSERT_FALSE(pAlpha.isNull());
    Kinds inAlpha;
    walk(*pAlpha, inAlpha);
    EXPECT_EQ(inAlpha.size(), 5u);
    for (const auto& kind : inAlpha) EXPECT_EQ(kind.first.compare(0, 6, "alpha/"), 0) << kind.first;
}

}  // namespace
}  // namespace Testing
}  // namespace Tamsor
