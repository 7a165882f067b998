// A minimal host of the installed library: binds a ZIPFileSystem to the archive named on the command line.
// Built against an install tree (through pkg-config and through the CMake package) to show that the installed
// headers, library and link lines are complete on their own.

#include <log4cplus/initializer.h>

#include <cstdio>

#include <tamsor/ZIPFileSystem.h>

int main(int argc, char** argv) {
    if (argc != 2) return std::fprintf(stderr, "usage: %s ARCHIVE.zip\n", argv[0]), 2;
    log4cplus::Initializer log4cplusInitializer;
    Tamsor::ZIPFileSystem fileSystem;  // goes before log4cplus is shut down
    if (!fileSystem.setZIPArchive(argv[1])) return 1;
    std::printf("bound\nexists(/): %s\n", fileSystem.exists("/") ? "true" : "false");
    return 0;
}
