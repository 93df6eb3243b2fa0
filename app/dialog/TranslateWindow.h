// Translation of a dialog's own texts through the language table.
#pragma once

class QWidget;

// Replaces the window's title by its translation (an empty title is left
// alone) and then the text of each of its direct children that carries a
// caption of its own (labels and buttons), in creation order; an empty
// caption is looked up too, as it stands. Controls whose text is drawn from
// their value (lists, pickers, the progress bar) have none to replace, and
// the download path field holds a folder name, which is never translated: a
// language file must not be able to send the copies elsewhere.
void TranslateWindow(QWidget* window);
