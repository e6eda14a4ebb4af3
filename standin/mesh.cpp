// mesh.cpp: a chunk's visible block faces as coloured quads.
//
// Every face of a solid block that touches air becomes one quad, wound
// counter-clockwise seen from outside. Lighting is baked into the vertex
// colours: a fixed shade per face direction and a small per-block tint, so
// the renderer needs no lighting of its own.
#include "standin/standin.h"

struct BlockColour {
    uint8_t r, g, b;
};

static const BlockColour kColours[Block_Count] = {
    {0, 0, 0},        // air
    {48, 96, 200},    // water
    {218, 204, 150},  // sand
    {92, 160, 60},    // grass
    {130, 96, 62},    // dirt
    {128, 128, 132},  // stone
    {240, 244, 250},  // snow
    {104, 78, 48},    // wood
    {52, 120, 44},    // leaves
};

struct Face {
    int dx, dy, dz;      // neighbour direction
    float shade;         // baked light
    float corners[4][3]; // unit-cube corners, counter-clockwise from outside
};

static const Face kFaces[6] = {
    {0, 1, 0, 1.00f, {{0, 1, 0}, {0, 1, 1}, {1, 1, 1}, {1, 1, 0}}},   // top
    {0, -1, 0, 0.50f, {{0, 0, 0}, {1, 0, 0}, {1, 0, 1}, {0, 0, 1}}},  // bottom
    {1, 0, 0, 0.80f, {{1, 0, 0}, {1, 1, 0}, {1, 1, 1}, {1, 0, 1}}},   // +x
    {-1, 0, 0, 0.72f, {{0, 0, 0}, {0, 0, 1}, {0, 1, 1}, {0, 1, 0}}},  // -x
    {0, 0, 1, 0.64f, {{0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}}},   // +z
    {0, 0, -1, 0.88f, {{0, 0, 0}, {0, 1, 0}, {1, 1, 0}, {1, 0, 0}}},  // -z
};

static uint8_t Mesh_Scale(uint8_t c, float f) {
    float v = (float)c * f;
    return (uint8_t)(v > 255.0f ? 255.0f : v);
}

static uint8_t Mesh_Block(const uint8_t *blocks, int lx, int y, int lz) {
    if (y < 0) return Block_Stone;  // the world's floor is never seen from below
    if (y >= kChunkHeight) return Block_Air;
    return blocks[(lx + 1) + (lz + 1) * kPaddedSize + y * kPaddedSize * kPaddedSize];
}

void Mesh_Build(int cx, int cz, const uint8_t *blocks, uint32_t seed, std::vector<Vertex> *out) {
    out->clear();
    float x0 = (float)(cx * kChunkSize), z0 = (float)(cz * kChunkSize);
    for (int y = 0; y < kChunkHeight; y++) {
        for (int lz = 0; lz < kChunkSize; lz++) {
            for (int lx = 0; lx < kChunkSize; lx++) {
                uint8_t b = Mesh_Block(blocks, lx, y, lz);
                if (b == Block_Air) continue;
                // A little per-block variation stands in for textures.
                uint32_t h = (uint32_t)(lx + cx * kChunkSize) * 73856093u ^ (uint32_t)y * 19349663u ^
                             (uint32_t)(lz + cz * kChunkSize) * 83492791u ^ seed;
                float tint = 0.94f + (float)((h >> 7) % 13) * 0.01f;
                BlockColour c = kColours[b];
                for (const Face &f : kFaces) {
                    if (Mesh_Block(blocks, lx + f.dx, y + f.dy, lz + f.dz) != Block_Air) continue;
                    float s = f.shade * tint;
                    uint8_t r = Mesh_Scale(c.r, s), g = Mesh_Scale(c.g, s), bl = Mesh_Scale(c.b, s);
                    for (const float *corner : f.corners) {
                        out->push_back(Vertex{x0 + (float)lx + corner[0], (float)y + corner[1], z0 + (float)lz + corner[2],
                                              r, g, bl, 255});
                    }
                }
            }
        }
    }
}
