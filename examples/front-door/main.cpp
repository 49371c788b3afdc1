// Read one field, change one attribute, write the message as UTF-16.
#include <quarn/quarn.hpp>

#include <iostream>

int main() {
    quarn::Document order = quarn::Document::open("examples/purchase-order.xml");   // code page found
    std::cout << "order " << order.get("/order/@id") << ", second item " << order.get("//item[2]/@sku") << '\n';
    order.set("//item[@sku='B-220']/@qty", "5");
    order.save("order-utf16.xml", quarn::ccsid::utf16, quarn::encoding::bigEndian);
    std::cout << "wrote " << order.get("count(//item)") << " items to order-utf16.xml\n";
}
