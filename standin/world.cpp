// world.cpp: the procedural voxel terrain.
//
// An endless world computed from the seed alone: any chunk can be made at
// any time, in any order, and always comes out the same, so the same pose
// renders the same picture in every run. Heights come from a few octaves of
// value noise with a mask that raises mountain ranges; low ground is
// flooded to sea level; grass carries scattered trees.
#include <math.h>
#include <string.h>

#include "standin/standin.h"

static uint32_t worldSeed;

static uint32_t World_Hash(int x, int z, uint32_t salt) {
    uint32_t h = worldSeed * 0x9E3779B1u ^ salt * 0x85EBCA77u;
    h ^= (uint32_t)x * 0xC2B2AE3Du;
    h = (h ^ (h >> 15)) * 0x27D4EB2Fu;
    h ^= (uint32_t)z * 0x165667B1u;
    h = (h ^ (h >> 13)) * 0x85EBCA6Bu;
    return h ^ (h >> 16);
}

static float World_Lattice(int x, int z, uint32_t salt) { return (float)(World_Hash(x, z, salt) >> 8) / 16777216.0f; }

static int World_FloorDiv(int a, int b) { return a >= 0 ? a / b : -((-a + b - 1) / b); }

// Smoothly interpolated value noise in [0, 1) with lattice spacing period.
static float World_Noise(int x, int z, int period, uint32_t salt) {
    int gx = World_FloorDiv(x, period), gz = World_FloorDiv(z, period);
    float fx = (float)(x - gx * period) / (float)period;
    float fz = (float)(z - gz * period) / (float)period;
    fx = fx * fx * (3.0f - 2.0f * fx);
    fz = fz * fz * (3.0f - 2.0f * fz);
    float a = World_Lattice(gx, gz, salt), b = World_Lattice(gx + 1, gz, salt);
    float c = World_Lattice(gx, gz + 1, salt), d = World_Lattice(gx + 1, gz + 1, salt);
    float top = a + (b - a) * fx, bottom = c + (d - c) * fx;
    return top + (bottom - top) * fz;
}

void World_Init(uint32_t seed) { worldSeed = seed; }

int World_Height(int x, int z) {
    float land = World_Noise(x, z, 96, 1);
    float hills = World_Noise(x, z, 32, 2);
    float detail = World_Noise(x, z, 8, 3);
    float ridge = World_Noise(x, z, 128, 4);
    float m = ridge < 0.5f ? 0.0f : (ridge - 0.5f) / 0.5f;
    float mountains = m * m * (3.0f - 2.0f * m);
    float h = 10.0f + land * 20.0f + hills * 9.0f + detail * 3.0f + mountains * (40.0f + hills * 14.0f);
    int top = (int)h;
    return top > kChunkHeight - 10 ? kChunkHeight - 10 : top;
}

static uint8_t World_SurfaceBlock(int height) {
    if (height <= kSeaLevel + 1) return Block_Sand;
    if (height >= 60) return Block_Snow;
    if (height >= 40) return Block_Stone;
    return Block_Grass;
}

static bool World_HasTree(int x, int z, int height) {
    if (World_SurfaceBlock(height) != Block_Grass) return false;
    // Sparse, and never two trunks side by side.
    if (World_Hash(x, z, 5) % 100 >= 2) return false;
    return World_Hash(x, z, 6) % 4 != 0 || (x & 1) == 0;
}

static inline uint8_t &World_At(uint8_t *blocks, int lx, int y, int lz) {
    return blocks[(lx + 1) + (lz + 1) * kPaddedSize + y * kPaddedSize * kPaddedSize];
}

// A trunk of 4 to 6 blocks with a rounded crown of leaves; only the part
// that falls inside the padded chunk is written.
static void World_StampTree(uint8_t *blocks, int lx, int lz, int ground, uint32_t hash) {
    int trunk = 4 + (int)(hash % 3);
    int top = ground + trunk;
    for (int dy = -2; dy <= 1; dy++) {
        int radius = dy <= -1 ? 2 : 1;
        for (int dz = -radius; dz <= radius; dz++) {
            for (int dx = -radius; dx <= radius; dx++) {
                if (radius == 2 && dx * dx == 4 && dz * dz == 4) continue;  // round the corners
                int x = lx + dx, z = lz + dz, y = top + dy;
                if (x < -1 || x > kChunkSize || z < -1 || z > kChunkSize || y < 0 || y >= kChunkHeight) continue;
                uint8_t &b = World_At(blocks, x, y, z);
                if (b == Block_Air) b = Block_Leaves;
            }
        }
    }
    if (lx < -1 || lx > kChunkSize || lz < -1 || lz > kChunkSize) return;
    for (int y = ground + 1; y < top && y < kChunkHeight; y++) World_At(blocks, lx, y, lz) = Block_Wood;
}

void World_FillChunk(int cx, int cz, uint8_t *blocks) {
    memset(blocks, Block_Air, (size_t)kPaddedSize * kPaddedSize * kChunkHeight);
    int x0 = cx * kChunkSize, z0 = cz * kChunkSize;
    for (int lz = -1; lz <= kChunkSize; lz++) {
        for (int lx = -1; lx <= kChunkSize; lx++) {
            int h = World_Height(x0 + lx, z0 + lz);
            uint8_t surface = World_SurfaceBlock(h);
            for (int y = 0; y <= h; y++) {
                uint8_t b = Block_Stone;
                if (y == h) b = surface;
                else if (surface == Block_Sand && y >= h - 2) b = Block_Sand;
                else if (surface == Block_Grass && y >= h - 3) b = Block_Dirt;
                World_At(blocks, lx, y, lz) = b;
            }
            for (int y = h + 1; y <= kSeaLevel; y++) World_At(blocks, lx, y, lz) = Block_Water;
        }
    }
    // Crowns reach two columns out, so trees rooted up to three columns
    // beyond the chunk can still show in its padding.
    for (int lz = -3; lz <= kChunkSize + 2; lz++) {
        for (int lx = -3; lx <= kChunkSize + 2; lx++) {
            int x = x0 + lx, z = z0 + lz;
            int h = World_Height(x, z);
            if (World_HasTree(x, z, h)) World_StampTree(blocks, lx, lz, h, World_Hash(x, z, 7));
        }
    }
}
