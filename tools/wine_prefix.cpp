#include "tools/wine_prefix.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace q407::tools {
namespace fs = std::filesystem;

namespace {

// The line of user.reg that turns Wine's virtual desktop on.
constexpr char kDesktopLine[] = "\"Desktop\"=\"Default\"";

bool DropVirtualDesktop(const fs::path& userReg, std::string* error) {
    std::ifstream in(userReg);
    if (!in) {
        *error = "cannot read " + userReg.string();
        return false;
    }
    std::ostringstream kept;
    std::string line;
    while (std::getline(in, line))
        if (line != kDesktopLine) kept << line << '\n';
    in.close();
    std::ofstream out(userReg, std::ios::trunc);
    out << kept.str();
    if (!out) {
        *error = "cannot write " + userReg.string();
        return false;
    }
    return true;
}

}  // namespace

bool CopyWinePrefix(const std::string& templatePrefix, const std::string& prefix,
                    bool virtualDesktop, std::string* error) {
    std::error_code code;
    if (!fs::is_directory(templatePrefix, code)) {
        *error = "no template Wine prefix at " + templatePrefix;
        return false;
    }
    fs::remove_all(prefix, code);
    fs::create_directories(fs::path(prefix).parent_path(), code);
    fs::copy(templatePrefix, prefix,
             fs::copy_options::recursive | fs::copy_options::create_hard_links |
                 fs::copy_options::copy_symlinks,
             code);
    if (code) {
        *error = "copying the template prefix: " + code.message();
        return false;
    }
    for (const char* name : {"system.reg", "user.reg", "userdef.reg"}) {
        const fs::path target = fs::path(prefix) / name;
        fs::remove(target, code);
        fs::copy_file(fs::path(templatePrefix) / name, target, code);
        if (code) {
            *error = std::string("copying ") + name + ": " + code.message();
            return false;
        }
    }
    return virtualDesktop || DropVirtualDesktop(fs::path(prefix) / "user.reg", error);
}

}  // namespace q407::tools
