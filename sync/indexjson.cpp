#include "indexjson.h"

#include "hashrecord.h"

#include <QJsonArray>
#include <QStringDecoder>

#include <cmath>

namespace {

// QJsonDocument's limit: a deeper body is refused, not read.
constexpr int nestingLimit = 1024;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int hexValue(char c)
{
    if (isDigit(c))
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Appends the character that the escape at `slash` stands for and returns
// the length of the escape. Any byte may follow a backslash and stand for
// itself; a backslash-u escape gives its UTF-16 unit, paired or not.
qsizetype appendEscape(QString &text, QByteArrayView raw, qsizetype slash)
{
    const char *at = raw.data() + slash + 1;
    switch (*at) {
    case 'b':
        text += u'\b';
        break;
    case 'f':
        text += u'\f';
        break;
    case 'n':
        text += u'\n';
        break;
    case 'r':
        text += u'\r';
        break;
    case 't':
        text += u'\t';
        break;
    case 'u':
        text += QChar(char16_t(hexValue(at[1]) << 12 | hexValue(at[2]) << 8 | hexValue(at[3]) << 4 |
                               hexValue(at[4])));
        return 6;
    default:
        text += QLatin1Char(*at);
    }
    return 2;
}

// A string's bytes with their escapes undone. The bytes between escapes
// must be UTF-8, which `utf8` reports.
QString unescaped(QByteArrayView raw, QStringDecoder &utf8)
{
    QString text;
    text.reserve(raw.size());
    for (qsizetype at = 0; at < raw.size();) {
        const qsizetype slash = raw.indexOf('\\', at);
        const qsizetype end = slash < 0 ? raw.size() : slash;
        text += utf8(raw.sliced(at, end - at));
        if (slash < 0)
            break;
        at = slash + appendEscape(text, raw, slash);
    }
    return text;
}

// A byte-order mark is a character of the name like any other: the decoder
// would drop one that starts a piece between escapes.
QStringDecoder strictUtf8()
{
    return QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                    QStringDecoder::Flag::ConvertInitialBom);
}

} // namespace

QString IndexField::toString() const
{
    if (m_kind != String)
        return QString();
    if (!m_escaped)
        return m_ascii ? QString::fromLatin1(m_raw) : QString::fromUtf8(m_raw);
    QStringDecoder utf8 = strictUtf8();
    return unescaped(m_raw, utf8);
}

QJsonValue IndexField::toJsonValue() const
{
    switch (m_kind) {
    case Missing:
        return QJsonValue(QJsonValue::Undefined);
    case String:
        return QJsonValue(toString());
    case Number:
        return m_integral ? QJsonValue(m_integer) : QJsonValue(m_real);
    case True:
    case False:
        return QJsonValue(m_kind == True);
    case Null:
        return QJsonValue(QJsonValue::Null);
    case Container:
        break;
    }
    return QJsonValue(QJsonArray());
}

QByteArray IndexField::toSha256() const
{
    if (m_kind != String)
        return QByteArray();
    return m_escaped ? normalizedSha256(toString()) : normalizedSha256(m_raw);
}

IndexEntries::IndexEntries(QByteArrayView body, const std::array<QLatin1String, keyCount> &keys)
    : m_at(body.begin()), m_end(body.end()), m_keys(keys)
{
    skipSpace();
    if (!expect('['))
        return;
    skipSpace();
    if (m_at < m_end && *m_at == ']') {
        ++m_at;
        finish();
    }
}

bool IndexEntries::next()
{
    if (m_failed || m_done)
        return false;
    if (m_read > 0) {
        skipSpace();
        if (m_at < m_end && *m_at == ']') {
            ++m_at;
            return finish();
        }
        if (!expect(','))
            return false;
        skipSpace();
    }
    m_fields.fill(IndexField());
    ++m_read;
    if (m_at < m_end && *m_at == '{')
        return readObjectMembers();
    IndexField ignored;
    return readValue(ignored, 1);
}

bool IndexEntries::fail()
{
    m_failed = true;
    return false;
}

void IndexEntries::skipSpace()
{
    while (m_at < m_end && (*m_at == ' ' || *m_at == '\t' || *m_at == '\n' || *m_at == '\r'))
        ++m_at;
}

bool IndexEntries::expect(char c)
{
    if (m_at >= m_end || *m_at != c)
        return fail();
    ++m_at;
    return true;
}

bool IndexEntries::readObjectMembers()
{
    ++m_at;
    skipSpace();
    if (m_at < m_end && *m_at == '}') {
        ++m_at;
        return true;
    }
    for (;;) {
        IndexField key;
        IndexField value;
        skipSpace();
        if (m_at >= m_end || *m_at != '"' || !readString(key))
            return fail();
        skipSpace();
        if (!expect(':'))
            return false;
        skipSpace();
        if (!readValue(value, 2))
            return false;
        const int index = keyIndex(key);
        if (index >= 0)
            m_fields[index] = value;
        skipSpace();
        if (m_at < m_end && *m_at == '}') {
            ++m_at;
            return true;
        }
        if (!expect(','))
            return false;
    }
}

int IndexEntries::keyIndex(const IndexField &key) const
{
    for (int index = 0; index < keyCount; ++index) {
        const QLatin1String name = m_keys[index];
        if (key.m_escaped ? key.toString() == name
                          : key.m_raw == QByteArrayView(name.data(), name.size()))
            return index;
    }
    return -1;
}

bool IndexEntries::readValue(IndexField &field, int depth)
{
    if (m_at >= m_end)
        return fail();
    switch (*m_at) {
    case '"':
        return readString(field);
    case '{':
    case '[':
        field.m_kind = IndexField::Container;
        return skipContainer(depth + 1);
    case 't':
        return readWord("true", IndexField::True, field);
    case 'f':
        return readWord("false", IndexField::False, field);
    case 'n':
        return readWord("null", IndexField::Null, field);
    default:
        return readNumber(field);
    }
}

bool IndexEntries::readString(IndexField &field)
{
    const char *start = ++m_at;
    for (; m_at < m_end && *m_at != '"'; ++m_at) {
        const uchar c = uchar(*m_at);
        field.m_ascii &= c < 0x80;
        if (c != '\\')
            continue;
        field.m_escaped = true;
        if (++m_at >= m_end)
            return fail();
        if (*m_at == 'u') {
            if (m_end - m_at < 5 || hexValue(m_at[1]) < 0 || hexValue(m_at[2]) < 0 ||
                hexValue(m_at[3]) < 0 || hexValue(m_at[4]) < 0)
                return fail();
            m_at += 4;
        }
    }
    if (m_at >= m_end)
        return fail();
    field.m_kind = IndexField::String;
    field.m_raw = QByteArrayView(start, m_at++);
    if (field.m_ascii)
        return true;
    QStringDecoder utf8 = strictUtf8();
    unescaped(field.m_raw, utf8);
    return !utf8.hasError() || fail();
}

// Read as QJsonDocument reads it: a sign, digits, a fraction and an exponent,
// each where present, taken as an integer where it is one and fits, else as
// a finite double.
bool IndexEntries::readNumber(IndexField &field)
{
    const char *start = m_at;
    auto skipDigits = [this] {
        while (m_at < m_end && isDigit(*m_at))
            ++m_at;
    };
    if (m_at < m_end && *m_at == '-')
        ++m_at;
    if (m_at < m_end && *m_at == '0')
        ++m_at;
    else
        skipDigits();
    bool integral = true;
    if (m_at < m_end && *m_at == '.') {
        ++m_at;
        integral = false;
        skipDigits();
    }
    if (m_at < m_end && (*m_at == 'e' || *m_at == 'E')) {
        ++m_at;
        integral = false;
        if (m_at < m_end && (*m_at == '+' || *m_at == '-'))
            ++m_at;
        skipDigits();
    }
    field.m_kind = IndexField::Number;
    field.m_raw = QByteArrayView(start, m_at);
    if (integral)
        field.m_integer = field.m_raw.toLongLong(&field.m_integral);
    if (field.m_integral)
        return true;
    bool ok = false;
    field.m_real = field.m_raw.toDouble(&ok);
    return (ok && std::isfinite(field.m_real)) || fail();
}

bool IndexEntries::readWord(QByteArrayView word, IndexField::Kind kind, IndexField &field)
{
    if (!QByteArrayView(m_at, m_end).startsWith(word))
        return fail();
    m_at += word.size();
    field.m_kind = kind;
    return true;
}

bool IndexEntries::skipContainer(int depth)
{
    if (depth > nestingLimit)
        return fail();
    const char close = *m_at == '{' ? '}' : ']';
    ++m_at;
    skipSpace();
    if (m_at < m_end && *m_at == close) {
        ++m_at;
        return true;
    }
    for (;;) {
        IndexField value;
        skipSpace();
        if (close == '}') {
            if (m_at >= m_end || *m_at != '"' || !readString(value))
                return fail();
            skipSpace();
            if (!expect(':'))
                return false;
            skipSpace();
        }
        if (!readValue(value, depth))
            return false;
        skipSpace();
        if (m_at < m_end && *m_at == close) {
            ++m_at;
            return true;
        }
        if (!expect(','))
            return false;
    }
}

bool IndexEntries::finish()
{
    skipSpace();
    if (m_at != m_end)
        return fail();
    m_done = true;
    return false;
}
