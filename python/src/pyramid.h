// Building the reduced levels of an r64 file and the whole-file operations that
// write new files (an r64 pyramid from an array, a cr file from an r64 file). The
// build functions run with the library lock held and the GIL released; they throw
// Failure, and leave closing the handle to its owner.
#ifndef R64_PYTHON_PYRAMID_H
#define R64_PYTHON_PYRAMID_H

#include <string>

#include <pybind11/numpy.h>

#include "r64/r64.h"

namespace r64py {

enum class Filter { Average, Fourier };

// "average" or "fourier"; an ArgumentError (-8) for any other name.
Filter parse_filter(const std::string &name);

// Levels that belong to the image (its level table), present in the file or not.
int table_levels(const R64_FILE *f);

// Flushes level 0 and fills every further level from the one above with the filter,
// flushing each before it serves as a source, as r64tool import does. Level 0 must be
// whole in the file.
void build_levels_of(R64_FILE *f, Filter filter, const std::string &path);

void register_pyramid(pybind11::module_ &m);

} // namespace r64py

#endif
