#include "tds/login_key.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <openssl/encoder.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>

#include "tds/protected_file.h"

namespace paagent::tds {
namespace {

struct BioDeleter {
    void operator()(BIO *bio) const { BIO_free(bio); }
};
using BioPointer = std::unique_ptr<BIO, BioDeleter>;

struct ContextDeleter {
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};

// The reason of OpenSSL's latest error, for messages.
std::string OpensslReason()
{
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "unknown error";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string BioText(BIO *bio)
{
    char *data = nullptr;
    long size  = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(size));
}

std::string EncodePublic(EVP_PKEY *key)
{
    // "type-specific" selects PKCS#1, whose PEM label is "RSA PUBLIC KEY".
    OSSL_ENCODER_CTX *encoder =
        OSSL_ENCODER_CTX_new_for_pkey(key, EVP_PKEY_PUBLIC_KEY, "PEM", "type-specific", nullptr);
    unsigned char *data = nullptr;
    std::size_t size    = 0;
    bool encoded        = encoder != nullptr && OSSL_ENCODER_to_data(encoder, &data, &size) == 1;
    OSSL_ENCODER_CTX_free(encoder);
    if (!encoded) {
        throw LoginKeyError("cannot encode the public login key: " + OpensslReason());
    }
    std::string pem(reinterpret_cast<const char *>(data), size);
    OPENSSL_free(data);
    return pem;
}

void WriteAll(int fd, const std::string &text, const std::filesystem::path &file)
{
    for (std::size_t done = 0; done < text.size();) {
        ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            throw LoginKeyError("cannot write " + file.string() + ": " + std::strerror(errno));
        }
        done += static_cast<std::size_t>(wrote);
    }
}

}  // namespace

void LoginKey::KeyDeleter::operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }

LoginKey::LoginKey(KeyPointer key, std::string public_pem) : key_(std::move(key)), public_pem_(std::move(public_pem)) {}

LoginKey LoginKey::LoadOrCreate(const std::filesystem::path &file)
{
    if (!std::filesystem::exists(file)) {
        Create(file);
    }
    KeyPointer key = Read(file);
    if (EVP_PKEY_is_a(key.get(), "RSA") != 1) {
        throw LoginKeyError(file.string() + " does not hold an RSA key");
    }
    if (EVP_PKEY_get_bits(key.get()) < kMinimumBits) {
        throw LoginKeyError(file.string() + " holds a " + std::to_string(EVP_PKEY_get_bits(key.get())) +
                            "-bit key; login keys need at least " + std::to_string(kMinimumBits) + " bits");
    }
    std::string pem = EncodePublic(key.get());
    return LoginKey(std::move(key), std::move(pem));
}

LoginKey::KeyPointer LoginKey::Read(const std::filesystem::path &file)
{
    std::string pem;
    try {
        pem = ReadProtectedFile(file, "login key file", Readers::kOwnerOnly);
    } catch (const std::runtime_error &error) {
        throw LoginKeyError(error.what());
    }
    BioPointer in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!in) {
        throw LoginKeyError("cannot read " + file.string() + ": " + OpensslReason());
    }
    KeyPointer key(PEM_read_bio_PrivateKey(in.get(), nullptr, nullptr, nullptr));
    if (!key) {
        throw LoginKeyError("cannot read a private key from " + file.string() + ": " + OpensslReason());
    }
    return key;
}

// Writes a new key to a private temporary file, then links it into place: a server started at
// the same time with the same file either wins or finds the other's key there, never half a file.
void LoginKey::Create(const std::filesystem::path &file)
{
    KeyPointer key(EVP_RSA_gen(kMinimumBits));
    BioPointer out(BIO_new(BIO_s_mem()));
    if (!key || !out || PEM_write_bio_PrivateKey(out.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        throw LoginKeyError("cannot generate a login key: " + OpensslReason());
    }
    std::filesystem::path temporary = file;
    temporary += ".new." + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw LoginKeyError("cannot create " + temporary.string() + ": " + std::strerror(errno));
    }
    try {
        WriteAll(fd, BioText(out.get()), temporary);
    } catch (...) {
        ::close(fd);
        ::unlink(temporary.c_str());
        throw;
    }
    int closed = ::close(fd);
    int linked = closed == 0 ? ::link(temporary.c_str(), file.c_str()) : -1;
    int error  = errno;
    ::unlink(temporary.c_str());
    if (closed != 0 || (linked != 0 && error != EEXIST)) {
        throw LoginKeyError("cannot create " + file.string() + ": " + std::strerror(error));
    }
}

int LoginKey::Bits() const { return EVP_PKEY_get_bits(key_.get()); }

std::optional<std::string> LoginKey::Decrypt(std::span<const std::uint8_t> ciphertext) const
{
    std::unique_ptr<EVP_PKEY_CTX, ContextDeleter> context(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr));
    if (!context || EVP_PKEY_decrypt_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING) != 1 ||
        EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), EVP_sha1()) != 1 ||
        EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), EVP_sha1()) != 1) {
        throw LoginKeyError("cannot set up RSA-OAEP decryption: " + OpensslReason());
    }
    std::string plain(static_cast<std::size_t>(EVP_PKEY_get_size(key_.get())), '\0');
    std::size_t size = plain.size();
    if (EVP_PKEY_decrypt(context.get(), reinterpret_cast<unsigned char *>(plain.data()), &size, ciphertext.data(),
                         ciphertext.size()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    plain.resize(size);
    return plain;
}

std::string RandomBytes(std::size_t size)
{
    std::string bytes(size, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char *>(bytes.data()), static_cast<int>(size)) != 1) {
        throw LoginKeyError("no random bytes: " + OpensslReason());
    }
    return bytes;
}

}  // namespace paagent::tds
