#pragma once

// Opens a plug-in among candidate shared libraries and proves that it exports
// every symbol the caller needs before anything else of it is used.

#include <string>
#include <vector>

#include "common/singleton.h"

namespace dynamic_module {

// Owns one open shared library for its whole life. A constructed object always
// holds a library; a constructor that finds none throws an int result code.
class DynamicModule : public common_routines::NonCopyable {
public:
    // Candidates, first rule that applies:
    //   library_path set: that file only (required_symbols may then be empty);
    //   otherwise required_symbols must not be empty (else throws ERR_INPUT_DATA) and
    //   directory set:           every entry of it, byte-wise sorted;
    //   PG_PLUGINS_PATH set:     every entry of the directory it names, sorted;
    //   library_name, bin_marker and lib_replacement set: the running program's
    //     path with everything from the first bin_marker on replaced by
    //     lib_replacement, joined with library_name; it must exist and be a
    //     symbolic link (else ERR_PLUGIN_PATH_NOT_FOUND; ERR_READ_SYMLINK when the
    //     program's path cannot be read);
    //   none: ERR_PLUGIN_PATH_NOT_FOUND.
    // Candidates whose path lacks ".so" are skipped; the first one that opens
    // and resolves every required symbol is kept, else ERR_LIBRARY_NOT_LOADED.
    DynamicModule(const char* directory, const char* library_name, const char* bin_marker,
                  const char* lib_replacement, const char* library_path,
                  const std::vector<std::string>& required_symbols);
    ~DynamicModule();

    // dlsym of `name` in the held library; null when it lacks the symbol.
    // Throws ERR_NULL_POINTER for a null name.
    void* GetSymbolImpl(const char* name) const;

    template <typename T>
    T GetSymbol(const char* name) const {
        return reinterpret_cast<T>(GetSymbolImpl(name));
    }

private:
    void* handle_ = nullptr;
};

}  // namespace dynamic_module
