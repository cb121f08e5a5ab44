.pragma library

// A QML list property (children, data, resources) as a JS array.
function list(l) {
    const out = []
    for (let i = 0; i < l.length; ++i)
        out.push(l[i])
    return out
}

// Every item under root (root included) for which pred holds, depth first in child order.
function findAll(root, pred) {
    const found = []
    function walk(item) {
        if (!item)
            return
        if (pred(item))
            found.push(item)
        const kids = item.children
        for (let i = 0; kids && i < kids.length; ++i)
            walk(kids[i])
    }
    walk(root)
    return found
}

// The visible item showing exactly this text, or null.
function shown(root, text) {
    const hits = findAll(root, it => it.visible && it.text === text && it.textFormat !== undefined)
    return hits.length > 0 ? hits[0] : null
}

// Texts of the visible text items under root, in order; a field's placeholder is not counted.
function shownTexts(root) {
    return findAll(root, it => it.visible && it.textFormat !== undefined && it.text !== ""
                   && !(it.parent && it.parent.placeholderText !== undefined))
        .map(it => it.text)
}

// The visible button labelled text, or null.
function button(root, text) {
    const hits = findAll(root, it => it.visible && it.text === text && it.clicked !== undefined)
    return hits.length > 0 ? hits[0] : null
}

// Visible buttons under root, in order.
function buttons(root) {
    return findAll(root, it => it.visible && it.clicked !== undefined && it.kind !== undefined)
}

// Markup as a server, a certificate or a УТМ might send it.
const markup = "<b>x</b><img src='http://example.invalid/a.png'>"

// The visible text items under root that show the markup above.
function markupTexts(root) {
    return findAll(root, it => it.visible && it.textFormat !== undefined
                   && it.text.indexOf("<img") >= 0)
}
