// SPDX-License-Identifier: MIT
// The page as one file: every marker of the template replaced once, text
// that would end a script or a style early escaped, the charting library
// read without its source maps, and a clear failure when it is missing.
#include "page.h"

#include <failure.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

using nlohmann::json;
using vehcan::report::ChartingLibrary;
using vehcan::report::load_charting_library;
using vehcan::report::render_page;

namespace {

size_t count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

// The text between <script type="application/json" id="vehcan-data"> and its end.
std::string data_block(const std::string &page) {
    const std::string open = "<script type=\"application/json\" id=\"vehcan-data\">";
    const size_t from = page.find(open);
    const size_t to = page.find("</script>", from);
    if (from == std::string::npos || to == std::string::npos) {
        return "";
    }
    return page.substr(from + open.size(), to - from - open.size());
}

class TempDir {
  public:
    TempDir() {
        char name[] = "/tmp/vehcan-page-test.XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string &path() const { return path_; }
    void write(const std::string &file, const std::string &text) const {
        std::ofstream(path_ + "/" + file) << text;
    }

  private:
    std::string path_;
};

} // namespace

TEST(Page, EveryMarkerReplacedAndTheDataReadsBack) {
    const ChartingLibrary library{"window.Dygraph = function () {};", ".dygraph-legend{}"};
    json data{{"title", "a </script><script>alert(1)</script> capture"},
              {"series", json::array({{{"name", "x<y"}, {"levels", json::array()}}})}};
    const std::string page = render_page(data, library);
    EXPECT_EQ(count(page, "@VEHCAN_"), 0U);
    EXPECT_EQ(count(page, "window.Dygraph = function () {};"), 1U);
    EXPECT_EQ(count(page, ".dygraph-legend{}"), 1U);
    EXPECT_EQ(count(page, "window.vehcanReport = report"), 1U); // the page's own script
    EXPECT_EQ(count(page, "table.list td.facts"), 1U);          // and style sheet
    // The title cannot end the data's element: the only "</script>" tags
    // are the page's own (the library's, the data's, the page script's).
    EXPECT_EQ(count(page, "</script>"), 3U);
    const std::string block = data_block(page);
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(block.find('<'), std::string::npos);
    EXPECT_EQ(json::parse(block), data);
}

TEST(Page, ALibraryClosingTagIsEscapedOtherSlashesAreNot) {
    // A regular expression /</g must stay as it is; "</script" in a string
    // must not end the element.
    const ChartingLibrary library{"s.replace(/</g, '&lt;'); var t = '</SCRIPT>';", "a{}"};
    const std::string page = render_page(json::object(), library);
    EXPECT_EQ(count(page, "s.replace(/</g, '&lt;'); var t = '<\\/SCRIPT>';"), 1U);
}

TEST(Page, TheLibraryIsReadWithoutItsSourceMaps) {
    TempDir dir;
    dir.write("dygraph.min.js",
              "/*! licence */\nvar Dygraph = 1;\n//# sourceMappingURL=dygraph.min.js.map");
    dir.write("dygraph.min.css", ".a{}\n/*# sourceMappingURL=dygraph.min.css.map */\n.b{}\n");
    const ChartingLibrary library = load_charting_library(dir.path());
    EXPECT_EQ(library.script, "/*! licence */\nvar Dygraph = 1;\n");
    EXPECT_EQ(library.style, ".a{}\n\n.b{}\n");
}

TEST(Page, AMissingLibraryNamesItsPackage) {
    TempDir dir;
    try {
        (void)load_charting_library(dir.path());
        FAIL() << "no library, no failure";
    } catch (const vehcan::Failure &f) {
        EXPECT_EQ(f.code(), vehcan::kExitInternal);
        EXPECT_NE(std::string(f.what()).find(dir.path() + "/dygraph.min.js"), std::string::npos);
        EXPECT_NE(std::string(f.what()).find("libjs-dygraphs"), std::string::npos);
    }
}
