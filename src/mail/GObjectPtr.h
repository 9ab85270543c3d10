#pragma once

// Owning holders for GMime/GLib objects, so every reference is released on every path.

#include <glib-object.h>

#include <memory>

namespace lw::mail {

struct GObjectUnref {
    void operator()(gpointer object) const
    {
        if (object != nullptr) g_object_unref(object);
    }
};

// Owns one reference of a GObject-derived type (GMimeMessage, GMimeStream, GMimeParser, ...).
template <typename T>
using GObjectPtr = std::unique_ptr<T, GObjectUnref>;

// Takes over a reference that the caller already owns (a constructor's or parser's result).
template <typename T>
GObjectPtr<T> AdoptRef(T* object)
{
    return GObjectPtr<T>(object);
}

// Adds a reference to a borrowed object (a getter's result) and owns that new reference.
template <typename T>
GObjectPtr<T> ShareRef(T* object)
{
    if (object != nullptr) g_object_ref(object);
    return GObjectPtr<T>(object);
}

struct GFreeDeleter {
    void operator()(gpointer memory) const { g_free(memory); }
};

// Owns a g_malloc'ed string (g_mime_utils_header_decode_text, ...).
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

} // namespace lw::mail
