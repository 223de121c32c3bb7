#include "curl_double.h"

#include <curl/curl.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <deque>

namespace curl_double {
namespace {

struct Handle {
    curl_write_callback write = nullptr;
    void* write_data = nullptr;
    long status = 0;
};

std::deque<Answer>& Pending() {
    static std::deque<Answer> answers;
    return answers;
}

}  // namespace

std::vector<Answer> ParseScript(const std::string& text) {
    std::vector<Answer> answers;
    size_t from = 0;
    while (from <= text.size()) {
        size_t cut = text.find("\n%%\n", from);
        std::string piece = text.substr(from, cut == std::string::npos ? std::string::npos : cut - from);
        Answer answer;
        size_t eol = piece.find('\n');
        std::string first = piece.substr(0, eol);
        char* end = nullptr;
        long status = std::strtol(first.c_str(), &end, 10);
        if (!first.empty() && end != nullptr && *end == '\0') answer.status = status;
        answer.body = eol == std::string::npos ? "" : piece.substr(eol + 1);
        answers.push_back(std::move(answer));
        if (cut == std::string::npos) break;
        from = cut + 4;
    }
    return answers;
}

void SetScript(std::vector<Answer> answers) { Pending().assign(answers.begin(), answers.end()); }

}  // namespace curl_double

using curl_double::Handle;

// libcurl declares these with an enumeration before the "...": its type is
// int-sized, so va_start on it is well defined here; the warning is generic.
#pragma clang diagnostic ignored "-Wvarargs"

extern "C" {

CURLcode curl_global_init(long) { return CURLE_OK; }
CURLcode curl_global_init_mem(long, curl_malloc_callback, curl_free_callback, curl_realloc_callback,
                              curl_strdup_callback, curl_calloc_callback) {
    return CURLE_OK;
}
void curl_global_cleanup(void) {}
CURL* curl_easy_init(void) { return new Handle; }
void curl_easy_cleanup(CURL* curl) { delete static_cast<Handle*>(curl); }
const char* curl_easy_strerror(CURLcode code) { return code == CURLE_OK ? "No error" : "Couldn't connect"; }

CURLcode curl_easy_setopt(CURL* curl, CURLoption option, ...) {
    auto* h = static_cast<Handle*>(curl);
    va_list args;
    va_start(args, option);
    if (option == CURLOPT_WRITEFUNCTION) h->write = va_arg(args, curl_write_callback);
    if (option == CURLOPT_WRITEDATA) h->write_data = va_arg(args, void*);
    va_end(args);
    return CURLE_OK;
}

CURLcode curl_easy_getinfo(CURL* curl, CURLINFO info, ...) {
    auto* h = static_cast<Handle*>(curl);
    va_list args;
    va_start(args, info);
    CURLcode rc = CURLE_OK;
    if (info == CURLINFO_RESPONSE_CODE) {
        *va_arg(args, long*) = h->status;
    } else if (info == CURLINFO_ACTIVESOCKET) {
        *va_arg(args, curl_socket_t*) = CURL_SOCKET_BAD;
    } else {
        rc = CURLE_UNKNOWN_OPTION;
    }
    va_end(args);
    return rc;
}

CURLcode curl_easy_perform(CURL* curl) {
    auto* h = static_cast<Handle*>(curl);
    auto& pending = curl_double::Pending();
    if (pending.empty()) return CURLE_COULDNT_CONNECT;
    curl_double::Answer answer = std::move(pending.front());
    pending.pop_front();
    h->status = answer.status;
    if (h->write == nullptr || answer.body.empty()) return CURLE_OK;
    // Delivered in two pieces, as a real transfer often arrives.
    const size_t half = answer.body.size() / 2;
    char* text = answer.body.data();
    if (half > 0 && h->write(text, 1, half, h->write_data) != half) return CURLE_WRITE_ERROR;
    const size_t rest = answer.body.size() - half;
    if (h->write(text + half, 1, rest, h->write_data) != rest) return CURLE_WRITE_ERROR;
    return CURLE_OK;
}

curl_slist* curl_slist_append(curl_slist* list, const char* text) {
    auto* node = static_cast<curl_slist*>(std::calloc(1, sizeof(curl_slist)));
    node->data = strdup(text);
    if (list == nullptr) return node;
    curl_slist* last = list;
    while (last->next != nullptr) last = last->next;
    last->next = node;
    return list;
}

void curl_slist_free_all(curl_slist* list) {
    while (list != nullptr) {
        curl_slist* next = list->next;
        std::free(list->data);
        std::free(list);
        list = next;
    }
}

}  // extern "C"
