#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "framework/CObject.h"

namespace vantor {

class CView;

// The document half of the document/view model: it knows its views, tells them what changed
// through update hints, and carries the modified flag and the path name of its file.
class CDocument : public CObject {
public:
    CDocument() = default;
    ~CDocument() override;

    void AddView(CView* view);
    void RemoveView(CView* view);
    const std::vector<CView*>& GetViews() const { return m_views; }

    // Calls OnUpdate on every view except sender, in the order the views were added.
    void UpdateAllViews(CView* sender, std::intptr_t hint = 0, CObject* object = nullptr);

    // Runs OnInitialUpdate on every view, as the framework does after a new or opened document.
    void SendInitialUpdate();

    bool IsModified() const { return m_bModified; }
    void SetModifiedFlag(bool modified = true) { m_bModified = modified; }

    const std::string& GetPathName() const { return m_strPathName; }
    void SetPathName(std::string pathName) { m_strPathName = std::move(pathName); }

    // Starts an empty, untitled, unmodified document. Derived documents empty their own data
    // first and then call this.
    virtual bool OnNewDocument();

private:
    std::vector<CView*> m_views;
    bool m_bModified = false;
    std::string m_strPathName;
};

}  // namespace vantor
