#pragma once

class QTextLayout;

namespace parlowvista {

// Lays out `layout`'s text in lines of `width`: wrapped between words, and inside a word that is
// longer than a line (a path, an address, a long token), which would otherwise run out of its row.
void layOutWrapped(QTextLayout& layout, int width);

}  // namespace parlowvista
