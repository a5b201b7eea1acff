// JPEG pictures straight from the planar YUV frame: libjpeg takes the
// planes as they are (its raw-data path), with no colour conversion and no
// downsampling on the way.
#pragma once

#include <cstdint>
#include <vector>

#include "picture.h"

// Encodes the picture (even sizes) at the quality (1 to 100) into jpeg;
// false, with jpeg emptied, when libjpeg reports an error.
bool encode_jpeg(const Picture &picture, int quality, std::vector<uint8_t> &jpeg);
