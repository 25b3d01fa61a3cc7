// Writing a PNG picture row by row: 8-bit RGB, 8-bit grey, or 1-bit grey from bytes
// that are 0x00 (black) or anything else (white). Errors throw a ToolError.
#ifndef R64TOOL_PNG_SINK_H
#define R64TOOL_PNG_SINK_H

#include <cstddef>
#include <memory>
#include <string>

namespace r64tool {

class PngSink {
  public:
    enum class Kind { Rgb, Grey8, Grey1 };
    PngSink(const std::string &path, int width, int height, Kind kind);
    ~PngSink();
    PngSink(const PngSink &) = delete;
    PngSink &operator=(const PngSink &) = delete;

    // n rows of 3 bytes (Rgb) or 1 byte (grey) a pixel, stride bytes apart.
    void write_rows(const unsigned char *rows, std::size_t stride, int n);
    // Writes the end of the stream and closes the file.
    void finish();

  private:
    struct State;
    std::unique_ptr<State> s_;
};

} // namespace r64tool

#endif
