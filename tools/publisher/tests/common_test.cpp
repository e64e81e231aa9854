// tools/common: known answers for the primitives the service and the publisher build on.
#include "tools/common/crypto.h"
#include "tools/common/files.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "independent.h"

namespace nyra::tools {
namespace {

const std::string kKeyDir = NYRA_SOURCE_DIR "/tools/dev-keys/";

TEST(ToolsCrypto, DigestsAndEncodingsMatchPublishedVectors) {
    EXPECT_EQ(sha256Hex(asBytes("")), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256Hex(asBytes("abc")), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha1Hex(asBytes("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");

    // RFC 4648 section 10.
    const struct {
        const char* plain;
        const char* encoded;
    } base64Cases[] = {{"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},        {"foo", "Zm9v"},
                       {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}};
    for (const auto& c : base64Cases) {
        EXPECT_EQ(base64Encode(asBytes(c.plain)), c.encoded);
        EXPECT_EQ(asText(base64Decode(c.encoded)), c.plain);
    }
    for (const char* bad : {"Zg=", "Zg===", "Z===", "Zh==", "Zm9v\n", "Zm=v", "Zm9-"}) {
        EXPECT_THROW(base64Decode(bad), std::runtime_error) << bad;
    }
    const Bytes urlSample{0xfb, 0xff, 0xbf};
    EXPECT_EQ(base64Encode(urlSample), "+/+/");
    EXPECT_EQ(base64UrlEncode(urlSample), "-_-_");
    EXPECT_EQ(base64UrlEncode(Bytes{0xfb, 0xff}), "-_8");

    EXPECT_EQ(hexEncode(Bytes{0x00, 0xab, 0xff}), "00abff");
    EXPECT_EQ(hexDecode("00abff"), (Bytes{0x00, 0xab, 0xff}));
    for (const char* bad : {"0", "AB", "0g"}) {
        EXPECT_THROW(hexDecode(bad), std::runtime_error) << bad;
    }

    const std::string token = opaqueToken();
    EXPECT_EQ(token.size(), 43u);
    EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos);
}

TEST(ToolsCrypto, Pbkdf2Sha256MatchesKnownAnswers) {
    EXPECT_EQ(hexEncode(pbkdf2Sha256("password", asBytes("salt"), 1, 32)),
              "120fb6cffcf8b32c43e7225256c4f837a86548c92ccc35480805987cb70be17b");
    EXPECT_EQ(hexEncode(pbkdf2Sha256("password", asBytes("salt"), 4096, 32)),
              "c5e478d59288c841aa530db6845c4c8d962893a001ce4e11a4963873aa98134a");
}

TEST(ToolsCrypto, GcmMatchesTheReferenceVectorAndRefusesTampering) {
    // AES-256-GCM test case 14 of the GCM submission: zero key, zero nonce, 16 zero bytes.
    const Bytes key(32, 0), nonce(12, 0), plain(16, 0);
    const GcmSealed sealed = aes256GcmEncrypt(key, nonce, plain);
    EXPECT_EQ(hexEncode(sealed.ciphertext), "cea7403d4d606b6e074ec5d3baf39d18");
    EXPECT_EQ(hexEncode(sealed.tag), "d0d1c8a799996bf0265b98b5d48ab919");
    EXPECT_EQ(aes256GcmDecrypt(key, nonce, sealed.ciphertext, sealed.tag), plain);

    Bytes flipped = sealed.ciphertext;
    flipped[3] ^= 1;
    EXPECT_THROW(aes256GcmDecrypt(key, nonce, flipped, sealed.tag), std::runtime_error);
    auto badTag = sealed.tag;
    badTag[15] ^= 0x80;
    EXPECT_THROW(aes256GcmDecrypt(key, nonce, sealed.ciphertext, badTag), std::runtime_error);
    EXPECT_THROW(aes256GcmEncrypt(Bytes(31, 0), nonce, plain), std::runtime_error);

    // Empty plaintext: only a tag (test case 13).
    EXPECT_EQ(hexEncode(aes256GcmEncrypt(key, nonce, {}).tag), "530f8afbc74536b9a963b4f1c4cb738b");
}

TEST(ToolsCrypto, PssSignaturesVerifyWithTheProjectKeyTheWayTheLauncherChecksThem) {
    const std::string privatePem = readTextFile(kKeyDir + "signing-test-key.pem");
    const std::string publicPem = readTextFile(kKeyDir + "signing-public.pem");
    const Bytes message{'N', 'Y', 'R', 'A', 0, 1, 2, 3};

    const Bytes random = rsaPssSign(privatePem, message);
    const Bytes salted = rsaPssSignWithSalt(privatePem, message, Bytes(32, 7));
    for (const Bytes* signature : {&random, &salted}) {
        ASSERT_EQ(signature->size(), 384u);  // RSA-3072
        EXPECT_TRUE(rsaPssVerify(publicPem, message, *signature));
        EXPECT_TRUE(testing::pssVerifiesLikeTheLauncher(message, signature->data(), signature->size()));
        Bytes other = message;
        other.back() ^= 1;
        EXPECT_FALSE(rsaPssVerify(publicPem, other, *signature));
        Bytes damaged = *signature;
        damaged[100] ^= 1;
        EXPECT_FALSE(rsaPssVerify(publicPem, message, damaged));
    }
    // A chosen salt makes the signature reproducible; a random one does not repeat.
    EXPECT_EQ(salted, rsaPssSignWithSalt(privatePem, message, Bytes(32, 7)));
    EXPECT_NE(random, rsaPssSign(privatePem, message));
    EXPECT_THROW(rsaPssVerify("not a key", message, random), std::runtime_error);
}

TEST(ToolsCrypto, DeterministicRandomRepeatsPerSeedAndLabelOnly) {
    DeterministicRandom a("seed", "nonce"), b("seed", "nonce"), c("seed", "key"), d("seed2", "nonce");
    const Bytes first = a.next(45);
    EXPECT_EQ(first, b.next(45));
    EXPECT_NE(first, c.next(45));
    EXPECT_NE(first, d.next(45));
    EXPECT_NE(a.next(45), first);  // the stream moves on
    for (int i = 0; i < 100; ++i) {
        EXPECT_LT(a.below(7), 7u);
    }
}

TEST(ToolsFiles, AtomicWriteReplacesAndReadHonoursTheLimit) {
    const auto dir = std::filesystem::temp_directory_path() / ("nyra-files-" + opaqueToken());
    const auto path = dir / "sub" / "f.bin";
    writeFileAtomic(path, std::string_view("first"));
    writeFileAtomic(path, std::string_view("second"));
    EXPECT_EQ(readTextFile(path), "second");
    EXPECT_EQ(sha256FileHex(path), sha256Hex(asBytes("second")));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(path.parent_path()), {}), 1);
    EXPECT_THROW(readFile(path, 5), std::runtime_error);
    EXPECT_THROW(readFile(dir / "missing"), std::runtime_error);
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace nyra::tools
