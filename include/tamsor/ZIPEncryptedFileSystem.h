#ifndef TAMSOR_ZIPENCRYPTEDFILESYSTEM_H
#define TAMSOR_ZIPENCRYPTEDFILESYSTEM_H

// The file system over scrambled ZIP archives: a plain ZIP archive of the same length whose byte at file
// offset p is stored XOR m_key[p mod 16], with no header or marker. The constructor puts I/O callbacks of its
// own into the file system's table, so every byte that zziplib reads (for the binding, for files and for
// every directory listing) is unscrambled on its way in. Everything else is ZIPFileSystem's, and a host uses
// it exactly the same way (and with the same threading rules).
//
// The key is a build-time constant (the CMake cache variable TAMSOR_SCRAMBLE_KEY): a build reads only
// archives scrambled with its own key. encrypt/decrypt make and undo the scrambled form of any buffer.

#include <cstddef>
#include <cstdint>

#include "tamsor/ZIPFileSystem.h"

namespace Tamsor {

class ZIPEncryptedFileSystem : public ZIPFileSystem {
  public:
    ZIPEncryptedFileSystem();
    ~ZIPEncryptedFileSystem() override;

    // Scrambles `len` bytes of `buf` in place as if they lay at file offset `offset`. Safe from any thread.
    static void encrypt(char* buf, unsigned int len, unsigned int offset);
    // Undoes encrypt with the same arguments (XOR undoes itself).
    static void decrypt(char* buf, unsigned int len, unsigned int offset);

    static void* operator new(std::size_t size);
    static void operator delete(void* pBlock, std::size_t size);

    static const unsigned char m_key[16];           // the scrambling key; only ever read
    static const std::uint32_t m_uiKeyLength = 16;  // key bytes in use; every key index is reduced modulo this
};

}  // namespace Tamsor

#endif
