#pragma once

/// Registers the compiled-in artwork (":/res/bk.png", ":/res/logo.ico").
///
/// The resources live in the static GUI library, whose initialiser the
/// linker would otherwise drop; call this before loading either file.
/// Safe to call any number of times.
void initUpdaterResources();
