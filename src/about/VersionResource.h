#pragma once

#include <QHash>
#include <QString>
#include <QtGlobal>

// The program's version texts, compiled in, answering the queries of a version resource:
// "\VarFileInfo\Translation" and "\StringFileInfo\<lang><codepage>\<key>".
class TVersionResource
{
public:
    struct Translation
    {
        quint16 language = 0;
        quint16 codePage = 0;
    };

    // An empty resource: every query fails.
    TVersionResource() = default;
    // The program's own: company "Halvero", product "BrasvikV6", the build's version.
    static const TVersionResource &program();

    void setTranslation(Translation translation);
    void setString(const QString &key, const QString &value);

    // Size of the resource; 0 when there is none.
    int size() const;
    bool translation(Translation *translation) const;
    // A string value by its full path; leading backslashes are optional. False when absent.
    bool queryValue(const QString &subBlock, QString *value) const;

private:
    bool m_hasTranslation = false;
    Translation m_translation;
    // By key within the translation's string table, e.g. "CompanyName".
    QHash<QString, QString> m_strings;
};
