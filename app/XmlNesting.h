#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace vex::app
{
// How deep the elements of an XML text nest, found with Qt's stream reader, which keeps its open elements on
// the heap, before the text reaches the DOM, whose building and tear-down descend once per level on the
// machine stack: a few hundred kilobytes of nested elements are enough to overflow it. Text that is not
// well-formed is left for the DOM to report.
class XmlNesting
{
public:
    // The deepest the installer's configuration may nest; the file itself needs two levels.
    static constexpr int kLimit = 32;

    struct Where
    {
        qint64 line = 0;  // 0: nowhere deeper than the limit
        qint64 column = 0;
    };

    // Where the start tag of the first element deeper than `limit` levels ends, or line 0 when there is none.
    static Where FirstTooDeep(const QByteArray& xml, int limit = kLimit);
};

}  // namespace vex::app
