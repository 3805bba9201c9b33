#pragma once

// A templates directory of the test's own under the system's temporary
// directory, removed with the object.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

namespace test_templates {

class template_dir_t {
public:
    template_dir_t()
    {
        std::string name = (std::filesystem::temp_directory_path() / "traxd-templates-XXXXXX").string();
        if (!::mkdtemp(name.data()))
            throw std::runtime_error("mkdtemp");
        root_ = name;
    }
    ~template_dir_t()
    {
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }
    template_dir_t(const template_dir_t&) = delete;
    template_dir_t& operator=(const template_dir_t&) = delete;

    const std::filesystem::path& root() const { return root_; }

    // language/block_traxd.tpl with the text.
    void add(const std::string& language, const std::string& text = "<p>{{TIMESTAMP}}</p>") const
    {
        std::filesystem::create_directories(root_ / language);
        std::ofstream(root_ / language / "block_traxd.tpl") << text;
    }

private:
    std::filesystem::path root_;
};

} // namespace test_templates
