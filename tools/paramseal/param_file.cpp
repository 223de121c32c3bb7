#include "param_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <istream>
#include <streambuf>

#include "common/common_routines.h"
#include "common/config_utils.h"
#include "common/error_code.h"
#include "common/secure_buffer.h"
#include "common/unique_handles.h"
#include "credentials/credential_store.h"

namespace paramseal {

namespace {

// Offset of the first byte that plain parameter text cannot hold, or npos.
size_t FirstNonTextByte(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7f) return i;
    }
    return std::string::npos;
}

// The file's plain text, wiped when it goes out of scope.
struct PlainText {
    std::string text;
    ~PlainText() { common_routines::SecureWipe(text); }
};

// Lets the parser read the text where it lies, without a copy of it.
class MemoryStreamBuf : public std::streambuf {
public:
    MemoryStreamBuf(char* data, size_t size) { setg(data, data, data + size); }
};

// Reads the whole file once; the text checked is the text encrypted. Only a
// regular file is read, and the open never waits. `links` receives the file's
// number of hard links.
int ReadParameterFile(const std::string& path, std::string& text, nlink_t& links) {
    int code = ERR_NONE;
    struct stat st {};
    const common_routines::UniqueFd fd(common_routines::OpenRegularFile(path, code, st));
    if (fd.get() < 0) return code;
    links = st.st_nlink;
    text.assign(static_cast<size_t>(st.st_size), '\0');
    return common_routines::ReadExactly(fd.get(), text.data(), text.size());
}

}  // namespace

int EncryptFile(const std::string& path, std::string* reason) {
    PlainText content;
    nlink_t links = 0;
    const int rc = ReadParameterFile(path, content.text, links);
    if (rc != ERR_NONE) return rc;
    {
        // Refuses what is no valid parameter file; the parsed values are not used.
        common_routines::ConfigUtils config(path);
        MemoryStreamBuf buffer(content.text.data(), content.text.size());
        std::istream input(&buffer);
        const common_routines::ErrorResult loaded = config.LoadFromStream(input);
        if (loaded && loaded->first < 0) return loaded->first;
    }

    // Encrypted data carries no marker, but it is not text: encrypting it a second
    // time would leave a file the KMS connector can no longer open.
    const size_t bad = FirstNonTextByte(content.text);
    if (bad != std::string::npos) {
        if (reason != nullptr) {
            *reason = "File " + path + " is not a plain text parameter file (control byte at offset " +
                      std::to_string(bad) + "); it may be encrypted already and is left unchanged";
        }
        return ERR_FORMAT;
    }
    // The encrypted file replaces this name only: any other hard link would keep
    // the plain text on disk while the run reports success.
    if (links > 1) {
        if (reason != nullptr) {
            *reason = "File " + path + " has " + std::to_string(links) +
                      " hard links; the plain text would stay under the other names, so it is left unchanged";
        }
        return ERR_INPUT_DATA;
    }
    // The zero bytes that pad the text to whole cipher blocks would become part of a
    // last value that has no line end: end the text with a line feed.
    if (!content.text.empty() && content.text.back() != '\n') content.text.push_back('\n');
    return StoreWriteFile(KMS, path, content.text);
}

}  // namespace paramseal
