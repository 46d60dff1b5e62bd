#pragma once

// Marks what the module exports to hosts that link it. Everything else in
// the module is built with hidden visibility and stays inside it.
#define ZAN_EXPORT __attribute__((visibility("default")))
