// The RSA key pair that protects passwords in encrypted logins: kept in a file of the server's
// own (created with a fresh key when missing), its public half sent to clients in PEM.
#ifndef PAAGENT_TDS_LOGIN_KEY_H
#define PAAGENT_TDS_LOGIN_KEY_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include <openssl/types.h>

namespace paagent::tds {

// The key file cannot be read, written or used.
class LoginKeyError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class LoginKey {
public:
    static constexpr int kMinimumBits = 2048;

    // Loads the private key in `file`; when there is none, generates one and writes it there,
    // readable by the owner only. Throws LoginKeyError, also for a file that other users may
    // read or write, that is a symbolic link or that belongs to neither this user nor root.
    static LoginKey LoadOrCreate(const std::filesystem::path &file);

    // The public key as PKCS#1 "RSA PUBLIC KEY" PEM text, the form FreeTDS decodes.
    const std::string &PublicPem() const { return public_pem_; }
    int Bits() const;

    // The plaintext of RSA-OAEP (SHA-1, empty label) ciphertext; nothing when it is not valid
    // ciphertext for this key.
    std::optional<std::string> Decrypt(std::span<const std::uint8_t> ciphertext) const;

private:
    struct KeyDeleter {
        void operator()(EVP_PKEY *key) const;
    };
    using KeyPointer = std::unique_ptr<EVP_PKEY, KeyDeleter>;

    explicit LoginKey(KeyPointer key, std::string public_pem);
    static KeyPointer Read(const std::filesystem::path &file);
    static void Create(const std::filesystem::path &file);

    KeyPointer key_;
    std::string public_pem_;
};

// `size` bytes from the system's cryptographic random generator.
std::string RandomBytes(std::size_t size);

}  // namespace paagent::tds

#endif  // PAAGENT_TDS_LOGIN_KEY_H
