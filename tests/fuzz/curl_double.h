#pragma once

// In-process replacement of the libcurl easy interface for fuzz targets: each
// curl_easy_perform hands the next scripted answer to the handle's write
// callback, and CURLINFO_RESPONSE_CODE reports that answer's status. When the
// script is used up, transfers fail as an unreachable server does.
//
// A script is the fuzz input cut at lines "%%": each piece is one answer, its
// first line the HTTP status (200 when it is not a number), the rest the body.
// A body cut short by the server shows as an answer that just ends.

#include <string>
#include <vector>

namespace curl_double {

struct Answer {
    long status = 200;
    std::string body;
};

std::vector<Answer> ParseScript(const std::string& text);
// Replaces the answers still to come.
void SetScript(std::vector<Answer> answers);

}  // namespace curl_double
