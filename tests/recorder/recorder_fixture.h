// What the recorder's tests share: a sandbox with Debian's ffmpeg and
// ffprobe linked in and the XMP template installed, short MP4 files made by
// ffmpeg, checks that a file plays, and folder listings.
#pragma once

#include <dirent.h>

#include "support.h"

namespace vx4test {

// Files of a folder whose names end in suffix.
inline std::vector<std::string> files_in(const std::string &folder, const std::string &suffix)
{
    std::vector<std::string> names;
    if (DIR *listing = opendir(folder.c_str())) {
        while (dirent *entry = readdir(listing)) {
            std::string name = entry->d_name;
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(name);
        }
        closedir(listing);
    }
    return names;
}

inline int64_t file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

inline void install_recorder_tools(const SandboxRoot &root)
{
    symlink("/usr/bin/ffmpeg", root.at("/bin/ffmpeg").c_str());
    symlink("/usr/bin/ffprobe", root.at("/bin/ffprobe").c_str());
    root.write("/opt/orba/bin/xmp_template.txt", read_file(VX4_XMP_TEMPLATE_SOURCE));
}

// Runs a tool to its end: its exit status; its standard output and error.
inline int run_tool(const SandboxRoot &root, const std::vector<std::string> &argv, std::string *output = nullptr,
                    std::string *errors = nullptr)
{
    static int serial = 0;
    Process tool(argv, {}, root.path() + "/tool" + std::to_string(serial++));
    auto status = tool.wait_exit(30000ms);
    if (output)
        *output = tool.output();
    if (errors)
        *errors = tool.errors();
    return status.value_or(-1);
}

enum class mp4_layout { fragmented, index_first };

// A test picture of the given seconds, a key frame every second: fragmented
// as the recorder records, or a plain MP4 with its index before the media.
inline void make_mp4(const SandboxRoot &root, const std::string &path, int seconds, mp4_layout layout)
{
    std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                                     "testsrc=size=160x120:rate=25", "-t", std::to_string(seconds), "-c:v",
                                     "libx264", "-g", "25", "-pix_fmt", "yuv420p"};
    if (layout == mp4_layout::fragmented)
        argv.insert(argv.end(), {"-movflags", "+frag_keyframe+empty_moov+default_base_moof+skip_trailer",
                                 "-frag_duration", "1000000"});
    else
        argv.insert(argv.end(), {"-movflags", "+faststart"});
    argv.push_back(path);
    ASSERT_EQ(run_tool(root, argv), 0) << path;
}

// Decodes every frame: "" when not a single error, else what ffmpeg said.
// Equal time stamps of two frames (the simulator's, on a loaded machine)
// are the stream's, not a fault of the file.
inline std::string decode_errors(const SandboxRoot &root, const std::string &path)
{
    std::string errors, kept;
    int status = run_tool(root, {"ffmpeg", "-v", "error", "-i", path, "-f", "null", "-"}, nullptr, &errors);
    for (const std::string &line : split_lines(errors))
        if (line.find("non monotonically increasing dts") == std::string::npos)
            kept += line + "\n";
    return status == 0 && kept.empty() ? "" : "exit " + std::to_string(status) + ": " + kept;
}

inline double duration_of(const SandboxRoot &root, const std::string &path)
{
    std::string output;
    run_tool(root, {"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", path}, &output);
    return output.empty() ? -1 : atof(output.c_str());
}

}  // namespace vx4test
