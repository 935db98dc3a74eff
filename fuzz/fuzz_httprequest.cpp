// SPDX-License-Identifier: MIT
// The simulated HTTP camera's request reading: parseHttpRequest on the
// input as received bytes (an allocation of exactly its size), then the
// input as an Authorization field for the Basic and Digest checks. A
// complete head must lie inside the input; a Digest answer to a nonce the
// authenticator never issued must be refused.
#include "fuzzsupport.h"
#include "httpauth.h"
#include "httprequest.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size > 0x10000)
        return 0; // more than the simulator ever holds of a request
    const std::vector<char> exact(data, data + size);
    simlib::HttpRequest request;
    qsizetype consumed = -1;
    const simlib::HttpParse r =
        simlib::parseHttpRequest(exact.data(), qsizetype(size), &request, &consumed);
    if (r == simlib::HttpParse::Complete) {
        FUZZ_CHECK(consumed > 0 && consumed <= qsizetype(size) && consumed <= 8192);
        FUZZ_CHECK(request.fields.size() < 100);
        FUZZ_CHECK(request.path().startsWith('/'));
        (void)request.keepAlive();
        (void)request.hasBody();
    } else {
        FUZZ_CHECK(consumed == 0);
    }

    const QByteArray text(reinterpret_cast<const char*>(data), qsizetype(size));
    QByteArray user;
    QByteArray password;
    if (simlib::parseBasicCredentials(text, &user, &password))
        FUZZ_CHECK(!user.contains(':'));
    QHash<QByteArray, QByteArray> params;
    if (simlib::parseAuthParams(text, "Digest", &params))
        FUZZ_CHECK(params.size() <= 32);

    // Only issued nonces pass, so no input is accepted as a Digest answer.
    static simlib::HttpAuthenticator digest("user", "password",
                                            simlib::HttpAuthenticator::Scheme::Digest);
    simlib::HttpRequest asked;
    asked.method = "GET";
    asked.target = "/video.mjpg";
    asked.fields.append({"Authorization", text});
    FUZZ_CHECK(!digest.accepts(asked));
    return 0;
}
