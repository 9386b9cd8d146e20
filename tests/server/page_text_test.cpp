#include "server/page_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string written(void (*escape)(PageText*, TextView), const std::string& text) {
  PageText page;
  escape(&page, text);
  return page.failed ? "(failed)" : std::string(page.text ? page.text.get() : "", page.used);
}

// Hostile names through each language's helper: nothing of them can end a
// string, an attribute, an element or an entry; what is not UTF-8 becomes U+FFFD.
TEST(PageTextTest, EachLanguageEscapesWhatWouldBreakIt) {
  const struct {
    std::string name, html, json, xml, m3u;
  } cases[] = {
      {"News, \"24\" <&> 'x'", "News, &quot;24&quot; &lt;&amp;&gt; &#39;x&#39;", "News, \\\"24\\\" <&> 'x'",
       "News, &quot;24&quot; &lt;&amp;&gt; &apos;x&apos;", "News, '24' <&> 'x'"},
      {"a\r\nb\tc\x01", "a  b c ", "a\\r\\nb\\tc\\u0001", "a  b c ", "a  b c "},
      {"back\\slash </script>", "back\\slash &lt;/script&gt;", "back\\\\slash </script>", "back\\slash &lt;/script&gt;",
       "back\\slash </script>"},
      {"Télé 日本 🎬", "Télé 日本 🎬", "Télé 日本 🎬", "Télé 日本 🎬", "Télé 日本 🎬"},
      {"cut \xE6\x97", "cut \xEF\xBF\xBD\xEF\xBF\xBD", "cut \xEF\xBF\xBD\xEF\xBF\xBD", "cut \xEF\xBF\xBD\xEF\xBF\xBD",
       "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80", std::string(9, '?'), "", "", ""},  // overlong, surrogate, too high
  };
  for (const auto& c : cases) {
    if (c.html == std::string(9, '?')) {
      // Every byte of a form UTF-8 forbids is replaced, none passes.
      EXPECT_EQ(written(pageAddHtml, c.name).find('\xC0'), std::string::npos);
      EXPECT_EQ(written(pageAddJson, c.name).find("\xED\xA0"), std::string::npos);
      EXPECT_EQ(written(pageAddXml, c.name).find("\xF4\x90"), std::string::npos);
      continue;
    }
    EXPECT_EQ(written(pageAddHtml, c.name), c.html) << c.name;
    EXPECT_EQ(written(pageAddJson, c.name), c.json) << c.name;
    EXPECT_EQ(written(pageAddXml, c.name), c.xml) << c.name;
    EXPECT_EQ(written(pageAddM3u, c.name), c.m3u) << c.name;
  }
}

// A page grows to its bound and no further: the one that would pass it fails whole.
TEST(PageTextTest, PageStopsAtItsBound) {
  PageText page;
  const std::string block(kPageLimit / 4, 'x');
  for (int i = 0; i < 3; ++i) pageAdd(&page, block);
  EXPECT_FALSE(page.failed);
  EXPECT_EQ(page.used, 3 * block.size());
  pageAdd(&page, block);  // one byte more than the bound with its NUL
  EXPECT_TRUE(page.failed);
  pageFormat(&page, "%d", 1);
  EXPECT_EQ(page.used, 3 * block.size());
}

}  // namespace
