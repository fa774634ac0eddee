#pragma once

#include <QObject>
#include <QSoundEffect>

// Plays "bark.wav" from the first place that has one: the receive folder, the user's data
// folder (~/.local/share/zingwell), the data folder beside the installed program, the data
// folder of the configured installation. Silent when there is none.
class BarkPlayer : public QObject {
public:
    explicit BarkPlayer(QObject* parent = nullptr) : QObject(parent) {}
    void Play();
    static QString FindBark();

private:
    QSoundEffect* effect_ = nullptr;
};
