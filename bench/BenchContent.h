#pragma once
// The pictures the benchmarks send: a page of text (what a desktop mostly shows) and a
// photograph-like picture (smooth shapes with sensor noise), drawn on an X display.
#include <string>

enum class BenchContent { kText, kPhoto };

// Covers the root of display with content; false when the display cannot be opened.
bool DrawBenchContent(const std::string& display, BenchContent content, int width, int height);
