#pragma once

// Where the face is in skimage/data/astronaut.png (Debian's python3-skimage, 512 x 512, public domain),
// in photo pixels: the 68 landmarks in the usual order (jaw 0-16, brows 17-26, nose 27-35, eyes 36-47,
// mouth 48-67), the six keypoints of the face model (subject's right eye, left eye, nose tip, mouth
// centre, right ear, left ear) and the hair outline's size. Measured once, so that no landmark model is
// needed at run time.

#include <array>

namespace orvane::headrender::astronaut {

struct PhotoPoint {
    double x, y;
};

inline constexpr std::array<PhotoPoint, 68> landmarks{{
    {180, 104}, {180, 115}, {181, 126}, {182, 138}, {185, 149}, {191, 160}, {200, 168}, {209, 176},
    {220, 178}, {232, 177}, {243, 171}, {253, 163}, {261, 153}, {265, 142}, {268, 131}, {270, 120},
    {272, 108}, {186, 93},  {192, 88},  {200, 87},  {208, 89},  {216, 92},  {236, 94},  {244, 91},
    {252, 90},  {260, 92},  {265, 98},  {226, 102}, {225, 110}, {225, 119}, {225, 127}, {214, 131},
    {219, 132}, {224, 134}, {229, 133}, {234, 132}, {195, 101}, {200, 98},  {207, 98},  {213, 104},
    {206, 104}, {200, 104}, {238, 105}, {243, 101}, {250, 101}, {255, 104}, {250, 106}, {244, 106},
    {200, 138}, {208, 139}, {217, 139}, {223, 141}, {229, 140}, {237, 140}, {246, 140}, {237, 151},
    {229, 155}, {222, 156}, {215, 154}, {207, 149}, {202, 140}, {217, 143}, {223, 144}, {229, 143},
    {243, 142}, {229, 150}, {222, 150}, {216, 149},
}};

inline constexpr std::array<PhotoPoint, 6> keypoints{{
    {202.348938, 102.946243},
    {244.558716, 105.368095},
    {221.630493, 131.364838},
    {221.308807, 149.531937},
    {181.200943, 107.483353},
    {268.102570, 111.624428},
}};

// The hair outline: half its width, and its top above the eye line, in millimetres once the eye
// centres are 62 mm apart.
inline constexpr double craniumHalfWidth = 105;
inline constexpr double craniumTop = 126;

} // namespace orvane::headrender::astronaut
