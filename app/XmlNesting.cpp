#include "app/XmlNesting.h"

#include <QXmlStreamReader>

namespace vex::app
{
XmlNesting::Where XmlNesting::FirstTooDeep(const QByteArray& xml, int limit)
{
    // Every token consumes input, and the whole text is given at once: the reader ends at its end, or at the
    // first error, which the DOM reports again.
    QXmlStreamReader reader(xml);
    int depth = 0;
    while (!reader.atEnd())
    {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement && ++depth > limit)
        {
            return Where{reader.lineNumber(), reader.columnNumber()};
        }
        if (token == QXmlStreamReader::EndElement)
        {
            --depth;
        }
    }
    return Where();
}

}  // namespace vex::app
