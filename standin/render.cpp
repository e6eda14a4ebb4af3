// render.cpp: drawing the world from a camera pose with legacy OpenGL.
//
// Fixed-function GL 2.1: one vertex buffer per chunk drawn as coloured
// quads, depth test, back-face culling and linear fog that hides the edge of
// the view distance. Every piece of state a frame relies on is set at the
// start of the frame, so whatever a plug-in's hook did to GL in the previous
// frame cannot change the next picture.
#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#define GL_GLEXT_PROTOTYPES 1
#include <GL/gl.h>
#include <GL/glext.h>

#include "standin/standin.h"

static int renderWidth, renderHeight;
static float renderRange;
static int renderLayers;
static std::vector<ChunkView> visibleScratch;

static const float kSky[3] = {0.62f, 0.76f, 0.93f};
static const float kFovY = 70.0f * 0.017453292f;
static const float kNear = 0.1f;

void Render_Init(int width, int height, float viewDistance, int gpuLoad) {
    renderLayers = gpuLoad;
    renderWidth = width;
    renderHeight = height;
    renderRange = viewDistance;
}

// out = a * b, column-major 4x4.
static void Render_Multiply(const float *a, const float *b, float *out) {
    for (int c = 0; c < 4; c++) {
        for (int r = 0; r < 4; r++) {
            float s = 0.0f;
            for (int k = 0; k < 4; k++) s += a[k * 4 + r] * b[c * 4 + k];
            out[c * 4 + r] = s;
        }
    }
}

static void Render_Projection(float *m) {
    float farPlane = renderRange + 48.0f;
    float f = 1.0f / tanf(kFovY * 0.5f);
    for (int i = 0; i < 16; i++) m[i] = 0.0f;
    m[0] = f * (float)renderHeight / (float)renderWidth;
    m[5] = f;
    m[10] = (farPlane + kNear) / (kNear - farPlane);
    m[11] = -1.0f;
    m[14] = 2.0f * farPlane * kNear / (kNear - farPlane);
}

// Looks along the pose's direction. The side axis comes from the yaw alone,
// so looking straight up or down still has a well-defined picture.
static void Render_View(const Pose &p, float *m) {
    float cy = cosf(p.yaw), sy = sinf(p.yaw), cp = cosf(p.pitch), sp = sinf(p.pitch);
    float f[3] = {cp * cy, sp, cp * sy};
    float s[3] = {-sy, 0.0f, cy};
    float u[3] = {s[1] * f[2] - s[2] * f[1], s[2] * f[0] - s[0] * f[2], s[0] * f[1] - s[1] * f[0]};
    m[0] = s[0], m[4] = s[1], m[8] = s[2], m[12] = -(s[0] * p.x + s[1] * p.y + s[2] * p.z);
    m[1] = u[0], m[5] = u[1], m[9] = u[2], m[13] = -(u[0] * p.x + u[1] * p.y + u[2] * p.z);
    m[2] = -f[0], m[6] = -f[1], m[10] = -f[2], m[14] = f[0] * p.x + f[1] * p.y + f[2] * p.z;
    m[3] = 0.0f, m[7] = 0.0f, m[11] = 0.0f, m[15] = 1.0f;
}

// True when the chunk's box lies wholly outside one side of the view.
static bool Render_Culled(const float *mvp, int cx, int cz) {
    int outside[5] = {0, 0, 0, 0, 0};
    for (int i = 0; i < 8; i++) {
        float x = (float)((cx + (i & 1)) * kChunkSize);
        float y = (i & 2) ? (float)kChunkHeight : 0.0f;
        float z = (float)((cz + ((i >> 2) & 1)) * kChunkSize);
        float cxp = mvp[0] * x + mvp[4] * y + mvp[8] * z + mvp[12];
        float cyp = mvp[1] * x + mvp[5] * y + mvp[9] * z + mvp[13];
        float czp = mvp[2] * x + mvp[6] * y + mvp[10] * z + mvp[14];
        float w = mvp[3] * x + mvp[7] * y + mvp[11] * z + mvp[15];
        outside[0] += cxp < -w;
        outside[1] += cxp > w;
        outside[2] += cyp < -w;
        outside[3] += cyp > w;
        outside[4] += czp < -w;
    }
    for (int n : outside) {
        if (n == 8) return true;
    }
    return false;
}

// Fragment work without a visible trace: full-screen quads of alpha 0,
// blended, so every pixel is shaded and written once more per layer and
// keeps its colour. The rasterizer can't know the alpha is 0 ahead of time.
static void Render_Layers(void) {
    if (renderLayers <= 0) return;
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    for (int i = 0; i < renderLayers; i++) {
        glBegin(GL_QUADS);
        glColor4ub((unsigned char)(i * 37), 128, 255, 0);
        glVertex2f(-1.0f, -1.0f);
        glVertex2f(1.0f, -1.0f);
        glVertex2f(1.0f, 1.0f);
        glVertex2f(-1.0f, 1.0f);
        glEnd();
    }
    glDisable(GL_BLEND);
}

void Render_Scene(const Pose &pose, const float *tilt) {
    float proj[16], view[16], modelview[16], mvp[16];
    Render_Projection(proj);
    Render_View(pose, view);
    Render_Multiply(tilt, view, modelview);
    Render_Multiply(proj, modelview, mvp);

    glViewport(0, 0, renderWidth, renderHeight);
    glClearColor(kSky[0], kSky[1], kSky[2], 1.0f);
    glClearDepth(1.0);
    glDepthMask(GL_TRUE);
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glDisable(GL_BLEND);
    glDisable(GL_TEXTURE_2D);
    glDisable(GL_LIGHTING);
    glEnable(GL_DEPTH_TEST);
    glDepthFunc(GL_LESS);
    glEnable(GL_CULL_FACE);
    glCullFace(GL_BACK);
    glFrontFace(GL_CCW);
    glShadeModel(GL_SMOOTH);

    glEnable(GL_FOG);
    glFogi(GL_FOG_MODE, GL_LINEAR);
    glFogf(GL_FOG_START, renderRange * 0.5f);
    glFogf(GL_FOG_END, renderRange - 4.0f);
    const float fogColour[4] = {kSky[0], kSky[1], kSky[2], 1.0f};
    glFogfv(GL_FOG_COLOR, fogColour);

    glMatrixMode(GL_PROJECTION);
    glLoadMatrixf(proj);
    glMatrixMode(GL_MODELVIEW);
    glLoadMatrixf(modelview);

    glEnableClientState(GL_VERTEX_ARRAY);
    glEnableClientState(GL_COLOR_ARRAY);
    Chunks_InRange(pose.x, pose.z, &visibleScratch);
    for (const ChunkView &c : visibleScratch) {
        if (c.vertexCount == 0 || Render_Culled(mvp, c.cx, c.cz)) continue;
        glBindBuffer(GL_ARRAY_BUFFER, c.vbo);
        glVertexPointer(3, GL_FLOAT, sizeof(Vertex), (const void *)0);
        glColorPointer(4, GL_UNSIGNED_BYTE, sizeof(Vertex), (const void *)12);
        glDrawArrays(GL_QUADS, 0, c.vertexCount);
    }
    glBindBuffer(GL_ARRAY_BUFFER, 0);
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_VERTEX_ARRAY);
    glDisable(GL_FOG);
    glDisable(GL_CULL_FACE);
    glDisable(GL_DEPTH_TEST);
    Render_Layers();
}

int Render_WritePPM(const char *file) {
    size_t row = (size_t)renderWidth * 3;
    std::vector<unsigned char> pixels(row * (size_t)renderHeight);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, renderWidth, renderHeight, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
    FILE *f = fopen(file, "wb");
    if (!f) return 0;
    fprintf(f, "P6\n%d %d\n255\n", renderWidth, renderHeight);
    // GL's rows run bottom to top; PPM's top to bottom.
    for (int y = renderHeight - 1; y >= 0; y--) fwrite(pixels.data() + row * (size_t)y, 1, row, f);
    return fclose(f) == 0;
}
