#pragma once
// Modal message boxes (QMessageBox). From the GUI thread the box runs modally; from any other
// thread it is queued to the GUI thread and the caller waits until it is closed. Without a
// QApplication (or a display) the caption and text go to standard error instead.
class QWidget;

enum class BoxKind { Information, Warning, Critical };
void ShowMessageBox(QWidget* parent, const char* caption, const char* text,
                    BoxKind kind = BoxKind::Critical);
