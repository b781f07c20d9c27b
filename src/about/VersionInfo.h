#pragma once

#include "about/VersionResource.h"

#include <QDialog>
#include <QLocale>

class QFrame;
class QLabel;
class QPushButton;

// The about box: program icon, the version texts, the physical memory and the share of free
// memory, in English or German after the system's language. Ctrl+F1 reveals a hidden value.
class TVerInfoForm : public QDialog
{
    Q_OBJECT
public:
    enum { English = 1, German = 2 };

    explicit TVerInfoForm(QWidget *owner,
                          const TVersionResource &resource = TVersionResource::program(),
                          const QLocale &locale = QLocale::system());

    // 2 for German in any region, else 1.
    static int SystemLanguage(const QLocale &locale);
    // The available memory in whole KB: "24683752 KB".
    static QString memSizeText(quint64 availPhys);
    // "%d%% %s": free physical and swap over total physical and swap, all first divided by
    // 1024000; 0 when there is nothing to divide by.
    static QString resSizeText(quint64 availPhys, quint64 availPageFile, quint64 totalPhys,
                               quint64 totalPageFile, int language);

    QLabel *AppImage = nullptr;
    QLabel *Company = nullptr;
    QLabel *Product = nullptr;
    QLabel *ProductVersion = nullptr;
    QLabel *FileVersion = nullptr;
    QLabel *EasterEggLabel = nullptr;
    QLabel *EggImage = nullptr;
    QLabel *Copyright = nullptr;
    QFrame *Bevel1 = nullptr;
    QLabel *MemAvail = nullptr;
    QLabel *MemSize = nullptr;
    QLabel *SysResources = nullptr;
    QLabel *ResSize = nullptr;
    QPushButton *Button = nullptr;

    int Language = English;
    bool EggShown = false;

    void FormShow();
    void FormKeyDown(int key, Qt::KeyboardModifiers modifiers);
    void ReadVersionInfo();
    void reject() override;

    QString companyName() const { return m_company; }
    QString eggText() const { return m_eggText; }

protected:
    void showEvent(QShowEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    void FormCreate();
    void setEggShown(bool shown);
    // As tall as the texts shown need at the dialog's width, with no empty band between them.
    void fitToContents();

    const TVersionResource &m_resource;
    QLocale m_locale;
    QString m_company;
    QString m_copyright;
    QString m_product;
    QString m_productVersion;
    QString m_fileVersion;
    QString m_eggText;
};
