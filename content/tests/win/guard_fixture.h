#pragma once
// A "nyra.guard" signed with the development signing key (tools/dev-keys/signing-test-key.pem) over
// "NYRAGRD1" and the SHA-256 of the three fixture contents below, made with:
//   openssl dgst -sha256 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 -sign signing-test-key.pem
#include <string_view>

namespace nyra::test {

inline constexpr std::string_view kFixtureLauncher = "launcher-fixture";
inline constexpr std::string_view kFixtureGame = "game-fixture";
inline constexpr std::string_view kFixtureGuardDll = "guard-fixture";

inline constexpr std::string_view kFixtureGuardHex =
    "4e595241475244319b692f45fa3ad627a19fdbea63212a8071a46bdc5253a1683a2af9ee0621656a3eaafe934053e8b6"
    "133c9149449c77cb678cc586399b4309d0ebbae58f0cb7af13bffc07c2c1be599f28cdc42195a59787bf0828239644a8"
    "9b8ef19c26d641d89c0f6d05b449dfca2bc1aedcaa77cb8cc08e00a1bc13f619f75257bc9e9df1d4184dbdeb182bcba8"
    "93de9c161c89cdcedb436faddf03f4ffccfaab3d593284e25a7d705aa25149f9fdc5605636999d21aa953420133b295d"
    "d262a85767b182f6bf0ee5826fbf23c0192e399c298500fb7773b55ce2fa78ca1cc9ec4cb8617e8adfaf18272de34160"
    "ff2aceea7511f8c9fec5f7a593fb87dc5a80d4abe5188fb6152d49a86530e329d86f4c5f75bd6395e8762a35f95a23ac"
    "ca23f541d9278de5b7617407e3931d325cf80ed4ce060831cf2d7becb179871a1c839454f426c727e4c166fc6d49f346"
    "4e3d1346439449753c25e8258b6d8bf0c313d5e6e123c66943d1e571481f0953a50153677436067a9ea611810e3603f9"
    "83c9d382fad0addc50937ef00b98d82dbfa79ca0405f4800fb577ee3ae6da06ecd7adad366ed090fac9a700b28a00e96"
    "a72997b43533cae467e7fec25d5d98d83205a7618f1b38348eec0cdef4f350aba75bd0318a94aa4b003d999aedef1456"
    "3ce1b13d2105e502";

}  // namespace nyra::test
