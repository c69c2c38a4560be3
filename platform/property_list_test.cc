#include "platform/property_list.h"

#include <gtest/gtest.h>

#include <regex>

#include "tools/ampctl/install.h"

namespace ampervale::platform {
namespace {

// The Mac's writer and the library's write the same document: the keys in
// order, each value exact, the program by its installed path. Only the
// whitespace between elements may differ.
TEST(PropertyListTest, LaunchJobIsTheSameDocumentFromEitherWriter) {
  auto compact = [](const std::string& xml) {
    return std::regex_replace(xml, std::regex(">\\s+(<|$)"), ">$1");
  };
  EXPECT_EQ(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><!DOCTYPE plist PUBLIC "
      "\"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/"
      "PropertyList-1.0.dtd\"><plist version=\"1.0\"><dict><key>KeepAlive</key>"
      "<true/><key>Label</key><string>chargelimitd</string><key>ProgramArgumen"
      "ts</key><array><string>/Library/Application Support/Ampervale/bin/ampct"
      "l</string><string>daemon</string></array><key>RunAtLoad</key><true/>"
      "<key>ThrottleInterval</key><integer>5</integer></dict></plist>",
      compact(JobDescriptionXML()));
  // Markup in a text is escaped; each switch keeps its own value.
  std::string other = compact(LaunchJobXML({"a&b<c", {"d>e"}, true, false, 0}));
  EXPECT_EQ(
      "<dict><key>KeepAlive</key><false/><key>Label</key><string>a&amp;b&lt;c"
      "</string><key>ProgramArguments</key><array><string>d&gt;e</string>"
      "</array><key>RunAtLoad</key><true/><key>ThrottleInterval</key><integer>"
      "0</integer></dict></plist>",
      other.substr(other.find("<dict>")));
}

}  // namespace
}  // namespace ampervale::platform
