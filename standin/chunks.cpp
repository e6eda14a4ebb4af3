// chunks.cpp: the set of built chunks and the progressive chunk builder.
//
// Like the game, the stand-in never builds the whole world at once: after a
// map load, and whenever the camera brings new ground into range, it builds
// a few chunk meshes per frame, nearest first, and counts every build in
// Game.chunkUpdates. A chunk is in range when its centre lies within the
// view distance of the camera, measured flat; only chunks in range are
// drawn, so what a pose shows never depends on where the camera was before.
#include <math.h>

#include <algorithm>
#include <map>
#include <utility>

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include "standin/standin.h"

struct Chunk {
    GLuint vbo;
    int vertexCount;
};

static std::map<std::pair<int, int>, Chunk> chunks;  // ordered: deterministic draw order
static uint32_t chunkSeed;
static float chunkRange;
static long totalBuilds;
static std::vector<uint8_t> blockScratch;
static std::vector<Vertex> meshScratch;

void Chunks_Init(uint32_t seed, float viewDistance) {
    chunkSeed = seed;
    chunkRange = viewDistance;
    blockScratch.assign((size_t)kPaddedSize * kPaddedSize * kChunkHeight, 0);
}

static float Chunks_DistanceSq(int cx, int cz, float x, float z) {
    float half = (float)kChunkSize * 0.5f;
    float dx = (float)(cx * kChunkSize) + half - x;
    float dz = (float)(cz * kChunkSize) + half - z;
    return dx * dx + dz * dz;
}

static void Chunks_Build(int cx, int cz) {
    World_FillChunk(cx, cz, blockScratch.data());
    Mesh_Build(cx, cz, blockScratch.data(), chunkSeed, &meshScratch);
    Chunk chunk = {0, (int)meshScratch.size()};
    glGenBuffers(1, &chunk.vbo);
    glBindBuffer(GL_ARRAY_BUFFER, chunk.vbo);
    glBufferData(GL_ARRAY_BUFFER, (GLsizeiptr)(meshScratch.size() * sizeof(Vertex)), meshScratch.data(),
                 GL_STATIC_DRAW);
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    chunks[{cx, cz}] = chunk;
    totalBuilds++;
    Game.chunkUpdates++;
}

void Chunks_Update(float x, float z, int rate) {
    // Far behind the camera: give the memory back (building it again later
    // counts as a new build, as in the game).
    float drop = chunkRange + 2.0f * (float)kChunkSize;
    for (auto it = chunks.begin(); it != chunks.end();) {
        if (Chunks_DistanceSq(it->first.first, it->first.second, x, z) > drop * drop) {
            glDeleteBuffers(1, &it->second.vbo);
            it = chunks.erase(it);
        } else {
            ++it;
        }
    }

    struct Candidate {
        float d;
        int cx, cz;
    };
    std::vector<Candidate> todo;
    int reach = (int)(chunkRange / (float)kChunkSize) + 2;
    int ccx = (int)floorf(x / (float)kChunkSize), ccz = (int)floorf(z / (float)kChunkSize);
    for (int cz = ccz - reach; cz <= ccz + reach; cz++) {
        for (int cx = ccx - reach; cx <= ccx + reach; cx++) {
            float d = Chunks_DistanceSq(cx, cz, x, z);
            if (d <= chunkRange * chunkRange && !chunks.count({cx, cz})) todo.push_back({d, cx, cz});
        }
    }
    std::sort(todo.begin(), todo.end(), [](const Candidate &a, const Candidate &b) {
        if (a.d != b.d) return a.d < b.d;
        return a.cz != b.cz ? a.cz < b.cz : a.cx < b.cx;
    });
    for (size_t i = 0; i < todo.size() && (int)i < rate; i++) Chunks_Build(todo[i].cx, todo[i].cz);
}

void Chunks_InRange(float x, float z, std::vector<ChunkView> *out) {
    out->clear();
    for (const auto &entry : chunks) {
        if (Chunks_DistanceSq(entry.first.first, entry.first.second, x, z) > chunkRange * chunkRange) continue;
        out->push_back(ChunkView{entry.first.first, entry.first.second, entry.second.vbo, entry.second.vertexCount});
    }
}

void Chunks_Reset(void) {
    for (auto &entry : chunks) glDeleteBuffers(1, &entry.second.vbo);
    chunks.clear();
}

int Chunks_BuiltCount(void) { return (int)chunks.size(); }

long Chunks_TotalBuilds(void) { return totalBuilds; }
