#include "ui/win/art.h"

#include "platform/win/handles.h"

#include <cstring>
#include <stdexcept>

namespace nyra::ui {
namespace {

struct ResourceBytes {
    const void* data = nullptr;
    DWORD size = 0;
};

// Locked resource memory lives as long as the module; nothing to release.
ResourceBytes findRawData(HINSTANCE module, int id, const char* missing, const char* unavailable) {
    HRSRC resource = ::FindResourceW(module, MAKEINTRESOURCEW(id), MAKEINTRESOURCEW(10) /* RT_RCDATA */);
    if (resource == nullptr) throw std::runtime_error(missing);
    HGLOBAL loaded = ::LoadResource(module, resource);
    const DWORD size = ::SizeofResource(module, resource);
    const void* data = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (data == nullptr || size == 0) throw std::runtime_error(unavailable);
    return {data, size};
}

// COM stream owner (IStream from CreateStreamOnHGlobal).
struct StreamRelease {
    void operator()(IStream* stream) const noexcept { stream->Release(); }
};

}  // namespace

std::unique_ptr<Gdiplus::Bitmap> loadArt(HINSTANCE module, int id) {
    const auto bytes = findRawData(module, id, "Arte do launcher ausente.", "Arte indisponivel.");
    win::UniqueGlobalMemory memory(::GlobalAlloc(GMEM_MOVEABLE, bytes.size));
    if (!memory) throw std::runtime_error("Arte indisponivel.");
    void* target = ::GlobalLock(memory.get());
    if (target == nullptr) throw std::runtime_error("Arte indisponivel.");
    std::memcpy(target, bytes.data, bytes.size);
    ::GlobalUnlock(memory.get());

    IStream* rawStream = nullptr;
    // The stream does not own the memory (fDeleteOnRelease FALSE): our owner frees it after decoding.
    if (FAILED(::CreateStreamOnHGlobal(memory.get(), FALSE, &rawStream)) || rawStream == nullptr) {
        throw std::runtime_error("Arte indisponivel.");
    }
    std::unique_ptr<IStream, StreamRelease> stream(rawStream);

    Gdiplus::Bitmap decoded(stream.get());
    if (decoded.GetLastStatus() != Gdiplus::Ok || decoded.GetWidth() == 0 || decoded.GetHeight() == 0) {
        throw std::runtime_error("Arte do launcher invalida.");
    }
    const auto width = static_cast<INT>(decoded.GetWidth());
    const auto height = static_cast<INT>(decoded.GetHeight());
    auto bitmap = std::make_unique<Gdiplus::Bitmap>(width, height, PixelFormat32bppPARGB);
    if (bitmap->GetLastStatus() != Gdiplus::Ok) throw std::runtime_error("Arte do launcher invalida.");
    {
        Gdiplus::Graphics graphics(bitmap.get());
        graphics.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
        if (graphics.DrawImage(&decoded, 0, 0, width, height) != Gdiplus::Ok) {
            throw std::runtime_error("Arte do launcher invalida.");
        }
    }
    return bitmap;
}

LauncherAssets::LauncherAssets(HINSTANCE module) {
    for (const int id : {kFontExtraBold, kFontMedium}) {
        const auto bytes = findRawData(module, id, "Fonte do launcher ausente.", "Fonte indisponivel.");
        if (fonts_.AddMemoryFont(bytes.data, static_cast<INT>(bytes.size)) != Gdiplus::Ok) {
            throw std::runtime_error("Fonte do launcher invalida.");
        }
    }
    for (std::size_t i = 0; i < kArtLoadOrder.size(); ++i) art_[i] = loadArt(module, kArtLoadOrder[i]);
}

Gdiplus::Bitmap* LauncherAssets::art(int id) const {
    for (std::size_t i = 0; i < kArtLoadOrder.size(); ++i) {
        if (kArtLoadOrder[i] == id) return art_[i].get();
    }
    return nullptr;
}

}  // namespace nyra::ui
