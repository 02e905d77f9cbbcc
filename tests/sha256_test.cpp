// SHA-256: the published test vectors, the same digest however the bytes
// are split, and agreement with coreutils' sha256sum on a file of a few MB.
#include "platform/sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "test_support.h"

namespace {

std::string Digest(const std::string& text) { return Sha256HexOf(text.data(), text.size()); }

// The digest of text fed in pieces of the given sizes, in turn, over and over.
std::string DigestInPieces(const std::string& text, std::initializer_list<std::size_t> sizes) {
    Sha256State state;
    Sha256Begin(state);
    std::size_t at = 0;
    for (auto size = sizes.begin(); at < text.size(); ++size) {
        if (size == sizes.end()) size = sizes.begin();
        std::size_t take = std::min(*size, text.size() - at);
        Sha256Update(state, text.data() + at, take);
        at += take;
    }
    return Sha256Hex(Sha256Finish(state));
}

}  // namespace

TEST(Sha256Test, PublishedVectors) {
    EXPECT_EQ(Digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(Digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(Digest(std::string(1000000, 'a')), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, AnySplitOfTheBytesGivesTheSameDigest) {
    std::string text;
    std::mt19937 random(7);
    for (int i = 0; i < 5000; ++i) text += static_cast<char>(random());
    // Lengths around the padding's edges (55, 56, 63, 64 bytes) and beyond.
    for (std::size_t length : {55u, 56u, 63u, 64u, 65u, 119u, 120u, 128u, 5000u}) {
        std::string part = text.substr(0, length);
        std::string whole = Digest(part);
        EXPECT_EQ(DigestInPieces(part, {1}), whole) << length;
        EXPECT_EQ(DigestInPieces(part, {3, 61, 7}), whole) << length;
        EXPECT_EQ(DigestInPieces(part, {63, 1, 64, 130}), whole) << length;
    }
    EXPECT_EQ(DigestInPieces(std::string(1000000, 'a'), {4099, 1, 65}),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(Sha256Test, AgreesWithSha256sumOnAFileOfAFewMegabytes) {
    if (std::system("sha256sum --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "sha256sum is not installed";
    ScratchFolder dir;
    const std::filesystem::path file = dir.Path() / "image.bin";

    std::string bytes(3 * 1024 * 1024 + 17, '\0');
    std::mt19937 random(11);
    for (char& c : bytes) c = static_cast<char>(random());
    std::ofstream(file, std::ios::binary) << bytes;

    std::string theirs;
    if (std::FILE* pipe = popen(("sha256sum '" + file.string() + "'").c_str(), "r")) {
        char line[200] = {};
        if (std::fgets(line, sizeof line, pipe)) theirs = std::string(line).substr(0, 64);
        pclose(pipe);
    }
    EXPECT_EQ(DigestInPieces(bytes, {65536, 1000, 1}), theirs);
}
