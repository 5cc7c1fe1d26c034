// Whether an image is well-formed XML, as libxml2's parser (xmllint) sees it,
// and how often a text occurs in it.
#pragma once

#include <unistd.h>  // mkstemp, close, unlink

#include <cstdlib>  // std::system
#include <fstream>
#include <string>

namespace tarnek::testdata {

inline bool WellFormedXml(const std::string& svg) {
  char name[] = "/tmp/tarnek-svg-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return false;
  close(fd);
  std::ofstream(name, std::ios::binary) << svg;
  const int status = std::system(("xmllint --noout --nonet " + std::string(name)).c_str());
  unlink(name);
  return status == 0;
}

// How many times `what` occurs in `text`.
inline size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

}  // namespace tarnek::testdata
