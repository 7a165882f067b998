// A minimal host of the installed library: binds a ZIPFileSystem to the archive named on the command line.
// Built against an install tree (through pkg-config and through the CMake package) to show that the installed
// headers, library and link lines are complete on their own.

#include <log4cplus/initializer.h>

#include <cstdio>

#include <tamsor/ZIPFileSystem.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s ARCHIVE.zip\n", argv[0]);
        return 2;
    }
    log4cplus::Initializer log4cplusInitializer;
    Tamsor::ZIPFileSystem* pFileSystem = new Tamsor::ZIPFileSystem();
    const bool bBound = pFileSystem->setZIPArchive(argv[1]);
    int result = 1;
    if (bBound) {
        std::printf("bound\n");
        std::printf("exists(/): %s\n", pFileSystem->exists("/") ? "true" : "false");
        result = 0;
    }
    delete pFileSystem;
    return result;
}
