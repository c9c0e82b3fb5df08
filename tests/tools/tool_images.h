// Files and folders for the tool's tests: JPEG images, fresh folders, and
// running the built tool.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image_io.h"

namespace pcbinspect::tool::testing {

namespace fs = std::filesystem;

// A fresh empty folder in the temporary area, named by the test and the
// process, so that test runs of two builds at once keep apart. The folders
// go when the process ends.
inline fs::path freshFolder(const std::string& name) {
    struct Made {
        std::vector<fs::path> dirs;
        ~Made() {
            std::error_code ignored;
            for (const fs::path& d : dirs) fs::remove_all(d, ignored);
        }
    };
    static Made made;
    const fs::path dir = fs::temp_directory_path() /
                         ("pcbinspect-tool-test-" + name + "-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    made.dirs.push_back(dir);
    return dir;
}

// A gray or colour baseline JPEG of quality 95.
inline void writeJpeg(const fs::path& path, const Image& image) {
    const std::vector<std::uint8_t> bytes = encodeJpeg(image, 95);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

inline std::string q(const fs::path& p) { return "'" + p.string() + "'"; }

// The outcome of running the built tool.
struct ToolOutput {
    int status = -1;
    std::string out, err;
};

// Runs the tool in `dir` with the given arguments (already quoted).
inline ToolOutput tool(const fs::path& dir, const std::string& args) {
    const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
    const std::string command = "'" PCBINSPECT_TOOL "' " + args + " >" + q(out) + " 2>" + q(err);
    const int raw = std::system(command.c_str());
    ToolOutput r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(out), slurp(err)};
    fs::remove(out);
    fs::remove(err);
    return r;
}

// Files in a folder, hidden ones included.
inline std::vector<std::string> filesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(dir))
        names.push_back(e.path().lexically_relative(dir).string());
    return names;
}

}  // namespace pcbinspect::tool::testing
