#ifndef TAMSOR_SRC_MEMBERCIPHER_H
#define TAMSOR_SRC_MEMBERCIPHER_H

// The decryption of one member's data, a stage between the archive file and the decoder: the member's encrypted
// bytes go through it in order, from the start of its payload (what follows the encryption's own header) or from
// where a restart point was taken, and come out decrypted in place. A cipher whose encryption authenticates the
// data (WinZip AES's HMAC) keeps the authentication going over every byte it is given.
//
// One thread at a time per cipher; a restart point keeps a copy (clone()), and a cursor that starts there takes
// a copy of that.

#include <cstddef>
#include <memory>

namespace Tamsor {

class MemberCipher {
  public:
    virtual ~MemberCipher() = default;

    // Decrypts the next `length` bytes of the payload in place.
    virtual void decrypt(unsigned char* p, std::size_t length) = 0;
    // A copy that goes on from here.
    virtual std::unique_ptr<MemberCipher> clone() const = 0;
    // Once the whole payload has gone through this cipher (or the ones it was cloned from) from its start:
    // whether the member's authentication code matches. True for an encryption that has none.
    virtual bool authenticates() = 0;
    // The memory it holds, for the restart points' budget.
    virtual std::size_t footprint() const = 0;
};

}  // namespace Tamsor

#endif
