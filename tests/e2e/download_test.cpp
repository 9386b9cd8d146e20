// The web file client against a real web server: a timeline document and an
// FLV file, directly and through a 302 that nginx itself answers.

#include <gtest/gtest.h>

#include <string>

#include "net/web_file.h"
#include "support/media.h"
#include "support/nginx.h"
#include "support/process.h"
#include "support/timeline_doc.h"

using namespace testsupport;

namespace {

struct Download {
  bool opened = false;
  int64_t contentLength = -1;
  int64_t bytesRead = -1;
  std::string body;
};

// Reads the body in the callers' large pieces until a short read.
Download download(const std::string& url) {
  Download result;
  WebFilePtr file(webFileOpen(url.c_str()));
  if (file == nullptr) return result;
  result.opened = true;
  result.contentLength = file->contentLength;
  std::string chunk(256 * 1024, '\0');
  for (;;) {
    int got = webFileRead(file.get(), chunk.data(), static_cast<int>(chunk.size()));
    result.body.append(chunk.data(), static_cast<size_t>(got));
    if (got < static_cast<int>(chunk.size())) break;
  }
  result.bytesRead = file->bytesRead;
  return result;
}

TEST(DownloadTest, TimelineAndFlvFromNginxDirectAndRedirected) {
  TempDir cache;
  std::string error;
  std::string flvPath = sampleFlv({SampleCodec::H264Aac, 4, 2}, mediaCacheDir(cache.path()), &error);
  ASSERT_FALSE(flvPath.empty()) << error;
  const std::string flv = readFile(flvPath);
  ASSERT_GT(flv.size(), 1000u);

  Nginx nginx(freeLoopbackPort());
  const std::string timeline = timelineDocument({{nginx.url("/v/a.flv"), 41}}, 30);
  ASSERT_TRUE(nginx.putTimeline(7, timeline));
  ASSERT_TRUE(nginx.putFile("/v/a.flv", flv));
  nginx.addRedirect("/moved.flv", 302, nginx.url("/v/a.flv"));
  ASSERT_TRUE(nginx.start()) << nginx.error();

  struct Case {
    std::string url;
    const std::string& content;
  };
  const Case cases[] = {
      {nginx.url("/live/semichannel/timeline/?id=7"), timeline},
      {nginx.url("/v/a.flv"), flv},
      {nginx.url("/moved.flv"), flv},
  };
  for (const Case& c : cases) {
    Download got = download(c.url);
    ASSERT_TRUE(got.opened) << c.url;
    EXPECT_EQ(got.contentLength, static_cast<int64_t>(c.content.size())) << c.url;
    EXPECT_EQ(got.bytesRead, got.contentLength) << c.url;
    EXPECT_TRUE(got.body == c.content) << c.url << ": " << got.body.size() << " bytes";
  }
  EXPECT_EQ(nginx.countRequests("GET /moved.flv"), 1);
  EXPECT_EQ(nginx.countRequests("GET /v/a.flv"), 2);
}

}  // namespace
