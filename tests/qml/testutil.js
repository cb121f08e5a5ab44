.pragma library

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

// Visible items under root that reach past the right edge of their window. A text counts as
// wide as the text it lays out, so a label that spills out of its box is caught too.
function pastRightEdge(root) {
    let top = root
    while (top.parent)
        top = top.parent
    const edge = top.width + 0.5
    return findAll(root, it => {
        if (!it.visible || it.width <= 0)
            return false
        const drawn = it.textFormat !== undefined ? Math.max(it.width, it.contentWidth) : it.width
        return it.mapToItem(null, drawn, 0).x > edge
    })
}
