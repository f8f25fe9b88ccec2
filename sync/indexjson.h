#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonValue>
#include <QLatin1String>
#include <QString>

#include <array>

// One member of an index entry, as the body spells it.
class IndexField
{
public:
    enum Kind { Missing, String, Number, True, False, Null, Container };

    Kind kind() const { return m_kind; }
    // What QJsonValue::toString() gives: the text of a string, else nothing.
    QString toString() const;
    // The value as QJsonValue would hold it, for the readers shared with it.
    QJsonValue toJsonValue() const;
    // A string that is a SHA-256, in lowercase hex; empty for anything else.
    QByteArray toSha256() const;

private:
    friend class IndexEntries;
    Kind m_kind = Missing;
    QByteArrayView m_raw; // a string's bytes between the quotes, or a number's text
    bool m_escaped = false;
    bool m_ascii = true;
    bool m_integral = false;
    qint64 m_integer = 0;
    double m_real = 0;
};

// Reads a JSON array of objects, the shape of both indexes, one element at a
// time and keeps only the members named in `keys`; no document is built, as
// an application index may list 100,000 files. It accepts and refuses the
// bodies QJsonDocument does; a later member of the same name wins. An element
// that is not an object reads as one without members.
class IndexEntries
{
public:
    static constexpr int keyCount = 4;
    IndexEntries(QByteArrayView body, const std::array<QLatin1String, keyCount> &keys);

    // Moves to the next element: false at the end of the array or at the
    // first fault, which isArray() tells apart.
    bool next();
    // Whether the whole body was read as one JSON array; asked after next()
    // returned false.
    bool isArray() const { return m_done && !m_failed; }
    const IndexField &operator[](int key) const { return m_fields[key]; }

private:
    bool fail();
    void skipSpace();
    bool expect(char c);
    bool readObjectMembers();
    bool readValue(IndexField &field, int depth);
    bool readString(IndexField &field);
    bool readNumber(IndexField &field);
    bool readWord(QByteArrayView word, IndexField::Kind kind, IndexField &field);
    bool skipContainer(int depth);
    bool finish();
    int keyIndex(const IndexField &key) const;

    const char *m_at;
    const char *m_end;
    std::array<QLatin1String, keyCount> m_keys;
    std::array<IndexField, keyCount> m_fields;
    qsizetype m_read = 0;
    bool m_failed = false;
    bool m_done = false;
};
