#pragma once

// Cover images for the DCPs the stand-in serves: a dark poster with the title drawn on it,
// made on request, so every generated DCP has a cover at the URL the package tool writes
// by default ("<DCP folder>/poster.jpg" under the asset prefix).

#include <string>

namespace PosterImage {

// True for the file names served as a generated poster when no such file exists.
bool isPosterName(const std::string &fileName);

// The encoded poster for a title, in the format the file name asks for (a ".jpg" falls back
// to PNG when the JPEG writer is missing), and its content type. The title is drawn only
// when a QGuiApplication exists: fonts need one.
std::string render(const std::string &title, const std::string &fileName, std::string *contentType);

}
