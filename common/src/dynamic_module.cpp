#include "common/dynamic_module.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "common/common_routines.h"
#include "common/error_code.h"

namespace dynamic_module {

namespace {

std::vector<std::string> SortedDirectoryEntries(const std::string& dir) {
    return common_routines::GetFilePathListFromDir(
        dir, [](const std::string& a, const std::string& b) { return a < b; });
}

// The library file next to the running program's installation: its own path
// with everything from the first marker on replaced, then the library name.
std::string DerivedLibraryPath(const char* library_name, const char* bin_marker, const char* lib_replacement) {
    std::string exePath;
    const std::string link = "/proc/" + std::to_string(getpid()) + "/exe";
    int rc = common_routines::ReadSymLink(link, exePath);
    if (rc != ERR_NONE) {
        throw rc;
    }
    const size_t pos = exePath.find(bin_marker);
    if (pos == std::string::npos) {
        throw static_cast<int>(ERR_PLUGIN_PATH_NOT_FOUND);
    }
    exePath.replace(pos, std::string::npos, lib_replacement);
    std::string path = common_routines::JoinPath(exePath, library_name);
    // Only an installed link to one of the plug-in builds is accepted here.
    if (!common_routines::CheckFileExists(path) || !common_routines::IsSymLink(path)) {
        throw static_cast<int>(ERR_PLUGIN_PATH_NOT_FOUND);
    }
    return path;
}

std::vector<std::string> Candidates(const char* directory, const char* library_name, const char* bin_marker,
                                    const char* lib_replacement, const char* library_path,
                                    const std::vector<std::string>& required_symbols) {
    if (library_path != nullptr) {
        return {library_path};
    }
    if (required_symbols.empty()) {
        throw static_cast<int>(ERR_INPUT_DATA);
    }
    if (directory != nullptr) {
        return SortedDirectoryEntries(directory);
    }
    if (const char* env = std::getenv("PG_PLUGINS_PATH"); env != nullptr) {
        return SortedDirectoryEntries(env);
    }
    if (library_name != nullptr && bin_marker != nullptr && lib_replacement != nullptr) {
        return {DerivedLibraryPath(library_name, bin_marker, lib_replacement)};
    }
    throw static_cast<int>(ERR_PLUGIN_PATH_NOT_FOUND);
}

}  // namespace

DynamicModule::DynamicModule(const char* directory, const char* library_name, const char* bin_marker,
                             const char* lib_replacement, const char* library_path,
                             const std::vector<std::string>& required_symbols) {
    for (const std::string& candidate :
         Candidates(directory, library_name, bin_marker, lib_replacement, library_path, required_symbols)) {
        if (candidate.find(".so") == std::string::npos) {
            continue;
        }
        // dlopen opens the file blocking: a FIFO among the candidates would stop
        // the process (a database server included) for good. Only what is a
        // regular file after following links can be a library; a name that
        // cannot be examined (a bare name for the library search) is left to
        // dlopen.
        struct stat st {};
        if (stat(candidate.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
            continue;
        }
        void* handle = dlopen(candidate.c_str(), RTLD_LAZY);
        if (handle == nullptr) {
            continue;
        }
        bool complete = true;
        for (const std::string& symbol : required_symbols) {
            if (dlsym(handle, symbol.c_str()) == nullptr) {
                complete = false;
                break;
            }
        }
        if (complete) {
            handle_ = handle;
            return;
        }
        // An incomplete library is given up at once; nothing of it was used.
        dlclose(handle);
    }
    throw static_cast<int>(ERR_LIBRARY_NOT_LOADED);
}

DynamicModule::~DynamicModule() {
    if (handle_ != nullptr) {
        dlclose(handle_);
    }
}

void* DynamicModule::GetSymbolImpl(const char* name) const {
    if (name == nullptr) {
        throw static_cast<int>(ERR_NULL_POINTER);
    }
    return dlsym(handle_, name);
}

}  // namespace dynamic_module
